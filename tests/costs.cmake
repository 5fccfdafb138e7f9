# The longest cases, run by CTest before the others (a higher COST starts
# first), so that none of them is left to run alone at the end of the suite.
# Read after every test program's list of cases; CTest passes over a name no
# longer found. A case of a table is named with its row's GetParam().
set_tests_properties(
    "RealTiming.RefusedReloadCostsTwoRepliesAndThePause"
    "Limits.SoftProcessorTimeLimitDoesNotCutTheRunShort"
    "BigImage.SixtyFourMebibyteFirmware"
    "Firmware/WaitForFifo.EndsOnTheInterruptKey/StalledWriter  # GetParam() = StalledWriter"
    "Port/SerialDriver.LowLatencyIsRestoredAndStuckOutputDiscardedBeforeClose/Success  # GetParam() = Success"
    "PacedLine.LongRecordsOnASlowLineAreAcknowledged"
    "Dialogue/EraseWait.CountsFortyAttempts/ThirtyNineOthersThenZero  # GetParam() = ThirtyNineOthersThenZero"
    "Truncation.EveryLengthFramesExactly"
    PROPERTIES COST 1000)
