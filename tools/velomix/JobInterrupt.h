// Interruptions of a running job: Ctrl-C, SIGTERM and SIGHUP natively; Ctrl-C and Ctrl-Break
// in a Windows console. The first one is only noted: the job sees Requested(), stops its graph,
// removes its temporary file and ends through EndProcess, as the interruption would have ended
// it. A second one, for a job stuck where it cannot look (a read from a FIFO that delivers
// nothing), removes the file named by RemoveOnSecond and ends the process at once.
// One object at a time; the handlers are the process's while it lives.
#pragma once

class CJobInterrupt {
public:
    CJobInterrupt() noexcept;
    ~CJobInterrupt();
    CJobInterrupt(const CJobInterrupt&) = delete;
    CJobInterrupt& operator=(const CJobInterrupt&) = delete;

    bool Requested() const noexcept;
    // The path must stay valid until it is replaced or cleared with null.
    void RemoveOnSecond(const char* path) noexcept;
    // Ends the process as the interruption does without a handler: killed by the signal
    // natively, exit status STATUS_CONTROL_C_EXIT on Windows.
    [[noreturn]] void EndProcess() noexcept;
};
