#pragma once
// The diagnostic channel. Lines are written exactly as the flows format them (most end in
// "\n", one does not) and go to a single process-wide sink: stderr when KORVANT_DEBUG=1,
// nowhere otherwise, or whatever a test or front end installs. Tests read these lines as
// an oracle of what the flows did, so the wording is part of the behaviour.
#include <string>

class IDebugSink {
public:
    virtual ~IDebugSink() = default;
    // May be called from any thread; implementations serialise themselves.
    virtual void Write(const std::string& text) = 0;
};

// Installs a sink (nullptr: back to the default chosen from KORVANT_DEBUG). Returns the
// previous one so a scope can restore it.
IDebugSink* SetDebugSink(IDebugSink* sink);

// Forces the stderr sink on or off, as `-v` does, whatever KORVANT_DEBUG says.
void SetDebugToStderr(bool on);

void OutputDebugText(const std::string& text);
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
