#pragma once
// Captures the debug lines for the life of the object, so a test can assert on them.
#include "base/debug_output.h"

#include <mutex>
#include <string>
#include <vector>

class CaptureDebug final : public IDebugSink {
public:
    CaptureDebug() { m_previous = SetDebugSink(this); }
    ~CaptureDebug() override { SetDebugSink(m_previous); }

    void Write(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_writes.push_back(text);
    }
    // Every write, as written (most end in "\n").
    std::vector<std::string> Writes() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_writes;
    }
    std::string All() const
    {
        std::string s;
        for (const std::string& w : Writes()) s += w;
        return s;
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& w : Writes()) n += w == text;
        return n;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_writes.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_writes;
    IDebugSink* m_previous = nullptr;
};
