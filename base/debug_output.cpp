#include "base/debug_output.h"

#include "base/strprintf.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

class StderrSink final : public IDebugSink {
public:
    void Write(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }

private:
    std::mutex m_lock;
};

StderrSink g_stderrSink;

bool DebugEnvOn()
{
    const char* v = std::getenv("KORVANT_DEBUG");
    return v && *v && std::strcmp(v, "0") != 0;
}

std::atomic<IDebugSink*> g_sink{nullptr};
std::atomic<int> g_stderrForced{-1}; // -1: follow KORVANT_DEBUG

IDebugSink* CurrentSink()
{
    if (IDebugSink* s = g_sink.load()) return s;
    int forced = g_stderrForced.load();
    bool on = forced < 0 ? DebugEnvOn() : forced == 1;
    return on ? &g_stderrSink : nullptr;
}

} // namespace

IDebugSink* SetDebugSink(IDebugSink* sink) { return g_sink.exchange(sink); }

void SetDebugToStderr(bool on) { g_stderrForced = on ? 1 : 0; }

void OutputDebugText(const std::string& text)
{
    if (IDebugSink* s = CurrentSink()) s->Write(text);
}

void DebugPrintf(const char* format, ...)
{
    IDebugSink* s = CurrentSink();
    if (!s) return;
    va_list ap;
    va_start(ap, format);
    std::string text = VStrPrintf(format, ap);
    va_end(ap);
    s->Write(text);
}
