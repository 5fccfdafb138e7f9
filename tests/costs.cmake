# The longest cases, which CTest starts first (a higher COST first), lest one run alone at
# the end of the suite; read after every program's cases. A name no longer found is passed
# over; a table's case is named with its GetParam().
set_tests_properties(
    "RealTiming.RefusedReloadCostsTwoRepliesAndThePause"
    "Limits.SoftProcessorTimeLimitDoesNotCutTheRunShort"
    "BigImage.SixtyFourMebibyteFirmware"
    "Firmware/WaitForFifo.EndsOnTheInterruptKey/StalledWriter  # GetParam() = StalledWriter"
    "Port/SerialDriver.LowLatencyIsRestoredAndStuckOutputDiscardedBeforeClose/Success  # GetParam() = Success"
    "PacedLine.LongRecordsOnASlowLineAreAcknowledged"
    "Dialogue/EraseWait.CountsFortyAttempts/ThirtyNineOthersThenZero  # GetParam() = ThirtyNineOthersThenZero"
    "Truncation.EveryLengthFramesExactly"
    "FleetStoppedChild.IsContinuedThenKilledAfterItsNo"
    PROPERTIES COST 1000)
