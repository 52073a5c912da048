// Child processes for tests: one program run at a time with its arguments and extra environment,
// its standard output kept in a file per run (read back as lines, waited on for a line), its
// standard error appended to one file, its peak memory and CPU time followed; stopped (SIGTERM,
// then SIGKILL) when the object goes, so no test leaves a process behind. Used from one thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tessali::test {

// Starts `argv` (argv[0] is the program, found on PATH when it has no '/') with `env` added to
// this process's environment, stdout to `outPath` and stderr to `errPath` (appended; the same
// path as `outPath` merges the two; "" keeps the test's own). The child gets its own process group. Its pid,
// -1 on failure.
pid_t SpawnProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   const std::string& outPath, const std::string& errPath);
// Stops the child `pid` and its process group: SIGTERM, and SIGKILL when it is still there after
// `graceSeconds`; then reaped. Its exit status (128 + signal when a signal ended it), -1 when it was not our
// child.
int StopProcess(pid_t pid, int graceSeconds = 10);

class CChildProcess {
public:
    // Output files go into `dir` (made when missing); without one, into a folder of its own.
    explicit CChildProcess(std::string dir = {});
    virtual ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts a run, its stdout in Dir()/out.N.txt; a run still going is killed first. False when
    // the process could not be made.
    bool Start(const std::string& program, std::vector<std::string> args,
               const std::map<std::string, std::string>& env = {});

    // Where stderr of the next runs goes (appended), instead of Dir()/err.txt.
    void SetErrorFile(std::string path) { m_err = std::move(path); }

    // This run's output lines so far: only whole lines while it runs (a line being written is
    // left for later), the unfinished last line too once it has ended.
    std::vector<std::string> Lines();
    // Everything this run wrote to stdout so far.
    std::string Output() const;
    // Everything every run wrote to stderr.
    std::string Errors() const;
    // The first line of this run containing `text`, waiting up to `seconds`; "" when none came
    // before the run ended or the time was up.
    std::string WaitLine(const std::string& text, int seconds);
    // The run's lines one after the other: the next one, waiting up to `timeoutMs`.
    std::optional<std::string> NextLine(int timeoutMs);

    // Exit status after waiting up to `seconds` (128 + signal when a signal ended it); -1 while
    // it still runs.
    int Wait(int seconds);
    bool Running();
    void Signal(int sig);
    // SIGTERM, then SIGKILL when it does not end within 10 s; to its whole process group.
    void Stop();
    // SIGKILL to its process group, and reap.
    void KillHard();
    pid_t Pid() const { return m_pid; }

    // Resident memory in KiB now (0 once it has ended).
    long RssKb() const;
    // Peak resident memory in KiB seen so far (also after it ended).
    long PeakRssKb();
    // CPU time it has used so far, user and system, in seconds (0 once it has ended).
    double CpuSeconds() const;

    const std::string& Dir() const { return m_dir; }
    std::string OutputPath() const { return m_out; }

private:
    bool Exited();
    long StatusKb(const std::string& key) const;

    std::unique_ptr<TempDir> m_ownDir;
    std::string m_dir;
    std::string m_out;
    std::string m_err;
    int m_runs = 0;
    pid_t m_pid = -1;
    int m_status = -1;
    long m_peakKb = 0;
    size_t m_nextLine = 0;
};

// A program run to its end: its exit status (-1 when it did not end by itself within
// `timeoutSeconds` and was killed) and what it printed (stderr too when `withErrors`).
struct ProgramRun {
    int exitCode = -1;
    std::string out;
};
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {}, bool withErrors = false,
                      int timeoutSeconds = 120);

}  // namespace tessali::test
