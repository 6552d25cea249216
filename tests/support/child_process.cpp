#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(left);
}

std::vector<std::string> Environment(const std::map<std::string, std::optional<std::string>>& env)
{
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!env.count(name)) out.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value) out.push_back(name + "=" + *value);
    return out;
}

} // namespace

std::string BuildBinary(const std::string& relative)
{
    const char* build = std::getenv("KORVANT_BUILD_DIR");
    return build ? std::string(build) + "/" + relative : relative;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::optional<std::string>>& env)
{
    // Everything the child needs is built before the fork: the parent has threads, so only
    // async-signal-safe calls may run between fork and exec.
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> envs = Environment(env);
    std::vector<char*> cenv;
    for (std::string& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(cargv[0], cargv.data(), cenv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_stdin = in[1];
    m_stdout = out[0];
    m_stderr = err[0];
    ::fcntl(m_stdout, F_SETFL, O_NONBLOCK);
    ::fcntl(m_stderr, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        int status;
        ::waitpid(m_pid, &status, 0);
    }
    for (int fd : {m_stdin, m_stdout, m_stderr})
        if (fd >= 0) ::close(fd);
}

void ChildProcess::WriteStdin(const std::string& text)
{
    size_t done = 0;
    while (m_stdin >= 0 && done < text.size()) {
        const ssize_t n = ::write(m_stdin, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
}

void ChildProcess::CloseStdin()
{
    if (m_stdin >= 0) ::close(m_stdin);
    m_stdin = -1;
}

void ChildProcess::Drain(int fd, std::string& into, bool& ended)
{
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) into.append(buf, size_t(n));
    if (n == 0) ended = true;
}

void ChildProcess::SplitLines()
{
    size_t nl;
    while ((nl = m_out.find('\n', m_linesFrom)) != std::string::npos) {
        m_lines.push_back(m_out.substr(m_linesFrom, nl - m_linesFrom));
        m_linesFrom = nl + 1;
    }
}

std::optional<std::string> ChildProcess::WaitLine(const std::string& prefix, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        SplitLines();
        while (m_next < m_lines.size()) {
            const std::string& line = m_lines[m_next++];
            if (line.rfind(prefix, 0) == 0) return line;
        }
        if (m_outEnded || Clock::now() >= deadline) return std::nullopt;
        pollfd p{m_stdout, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) > 0) Drain(m_stdout, m_out, m_outEnded);
    }
}

int ChildProcess::StopWith(int signal, std::chrono::milliseconds limit)
{
    if (m_pid > 0 && !m_status) ::kill(m_pid, signal);
    return WaitExit(limit);
}

int ChildProcess::WaitExit(std::chrono::milliseconds limit)
{
    if (m_status) return *m_status;
    if (m_pid <= 0) return -1;
    const Clock::time_point deadline = Clock::now() + limit;
    int status = 0;
    for (;;) {
        // Keep the pipes flowing: a child blocked on a full pipe would never end.
        Drain(m_stdout, m_out, m_outEnded);
        Drain(m_stderr, m_err, m_errEnded);
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) break;
        if (Clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_status = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return *m_status;
}

std::string ChildProcess::Stdout()
{
    Drain(m_stdout, m_out, m_outEnded);
    return m_out;
}

std::string ChildProcess::Stderr()
{
    Drain(m_stderr, m_err, m_errEnded);
    return m_err;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& env, std::chrono::milliseconds limit,
                         const std::string& stdin_text)
{
    ChildProcess child(argv, env);
    ProcessResult r;
    if (!child.Started()) return r;
    child.WriteStdin(stdin_text);
    child.CloseStdin();
    r.exit_code = child.WaitExit(limit);
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}
