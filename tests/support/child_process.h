#pragma once
// A program of ours run as a child process, as a user or a script runs it: arguments, extra
// environment, stdin/stdout/stderr on pipes, bounded waits everywhere. The child dies with
// this object and with the test process.
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// A binary of this build: $KORVANT_BUILD_DIR/<relative>.
std::string BuildBinary(const std::string& relative);

class ChildProcess {
public:
    // env: variables to set (a nullopt value unsets one) on top of this process's environment.
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void WriteStdin(const std::string& text);
    void CloseStdin();

    // The next stdout line that starts with `prefix` (earlier lines are skipped), or nothing
    // when none came in time or the child ended.
    std::optional<std::string> WaitLine(const std::string& prefix,
                                        std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Sends `signal` and waits (bounded) for the end: the exit status, or -1 when the child
    // had to be killed or died of a signal.
    int StopWith(int signal, std::chrono::milliseconds limit = std::chrono::seconds(5));
    int WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(5));

    // Everything written so far (all of it once the child has ended).
    std::string Stdout();
    std::string Stderr();

private:
    void Drain(int fd, std::string& into, bool& ended);
    void SplitLines();

    pid_t m_pid = -1;
    std::optional<int> m_status;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_out;          // all of stdout
    std::string m_err;
    bool m_outEnded = false;
    bool m_errEnded = false;
    std::vector<std::string> m_lines;
    size_t m_linesFrom = 0;     // offset in m_out of the first byte not yet split into a line
    size_t m_next = 0;          // next line WaitLine looks at
};

struct ProcessResult {
    int exit_code = -1;         // -1: killed after the time limit, or died of a signal
    std::string out;
    std::string err;
};

// Runs a program to its end (bounded): its exit code and everything it wrote.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60), const std::string& stdin_text = "");
