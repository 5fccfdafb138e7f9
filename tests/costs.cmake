# The longest cases, run by CTest before the others (a higher COST starts
# first), so that none of them is left to run alone at the end of the suite.
# Read after the cases are discovered; a name no longer found is passed over.
cmake_policy(PUSH)
cmake_policy(SET CMP0011 NEW)
cmake_policy(SET CMP0064 NEW)
foreach(name IN ITEMS
        "RealTiming.RefusedReloadCostsTwoRepliesAndThePause"
        "Limits.SoftProcessorTimeLimitDoesNotCutTheRunShort"
        "BigImage.SixtyFourMebibyteFirmware"
        "Firmware/WaitForFifo.EndsOnTheInterruptKey/StalledWriter"
        "Port/SerialDriver.LowLatencyIsRestoredAndStuckOutputDiscardedBeforeClose/Success"
        "PacedLine.LongRecordsOnASlowLineAreAcknowledged"
        "Dialogue/EraseWait.CountsFortyAttempts/ThirtyNineOthersThenZero"
        "Truncation.EveryLengthFramesExactly")
    if(TEST "${name}")
        set_tests_properties("${name}" PROPERTIES COST 1000)
    endif()
endforeach()
cmake_policy(POP)
