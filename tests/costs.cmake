# The longest cases, which CTest starts first (a higher COST first), lest one run alone at
# the end of the suite; read after every program's cases. A name no longer found is passed
# over; a table's case is named with its GetParam().
set_tests_properties(
    "RealTiming.RefusedReloadCostsTwoRepliesAndThePauseInProcessorTime"
    "Limits.SoftProcessorTimeLimitDoesNotCutTheRunShort"
    "BigImage.SixtyFourMebibyteFirmware"
    "Firmware/WaitForFifo.EndsOnTheInterruptKey/StalledWriter  # GetParam() = StalledWriter"
    "Port/SerialDriver.LowLatencyIsRestoredAndStuckOutputDiscardedBeforeClose/Success  # GetParam() = Success"
    "PacedLine.LongRecordsOnASlowLineAreAcknowledged"
    "Dialogue/EraseWait.CountsFortyAttempts/ThirtyNineOthersThenZero  # GetParam() = ThirtyNineOthersThenZero"
    "Truncation.EveryLengthFramesExactly"
    "ReloadCommand.BothWaysOnWhenNoLoaderAnswered"
    "FleetStoppedChild.IsContinuedThenKilledAfterItsNo"
    PROPERTIES COST 1000)

# The tests that bring busy processes of their own load the machine past their one processor:
# they take the other one too (CTest adds this group to the one every polling case has), so
# that no other test's processor is theirs meanwhile.
set_tests_properties(
    "RealTiming.RefusedReloadCostsTwoRepliesAndThePauseInProcessorTime"
    "Wait.SilentModemEndsInItsRealTimeOnAStarvedProcessor"
    PROPERTIES RESOURCE_GROUPS "processors:1")
