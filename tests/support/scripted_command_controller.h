#pragma once
// A command-report controller that follows a script instead of a behaviour: each step names
// the command it expects and the replies it gives, so a test states exactly which reports
// the tool must send and in which order. Anything off the script (another command, a report
// after the script ran out) is a protocol error, answered with nothing.
#include "base/le.h"
#include "hid/hid.h"
#include "protocol/command_report.h"
#include "sim/sim_controller.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

// One acknowledgement; `first` is byte 0 (0x00 in a good one).
inline SimReply CommandAck(uint16_t echo, uint16_t status = STATUS_DONE, const std::vector<uint8_t>& reply = {},
                           uint8_t first = 0x00, uint8_t kind = CMD_KIND)
{
    SimReply r;
    r.data[ACK_OFFSET_ZERO] = first;
    r.data[ACK_OFFSET_KIND] = kind;
    StoreLe16(r.data + ACK_OFFSET_STATUS, status);
    StoreLe16(r.data + ACK_OFFSET_ECHO, echo);
    for (size_t i = 0; i < reply.size() && i < ACK_REPLY_SIZE; ++i) r.data[ACK_OFFSET_REPLY + i] = reply[i];
    return r;
}

// A 46-byte information reply: version word at 4, record address at 40, revision at 44.
inline std::vector<uint8_t> InfoReply(uint32_t version, uint16_t revision, uint32_t record_address)
{
    std::vector<uint8_t> d(ACK_REPLY_SIZE, 0x11);
    StoreLe32(d.data() + INFO_OFFSET_VERSION, version);
    StoreLe32(d.data() + INFO_OFFSET_RECORD_ADDRESS, record_address);
    StoreLe16(d.data() + INFO_OFFSET_REVISION, revision);
    return d;
}

class ScriptedCommandController final : public SimController {
public:
    ScriptedCommandController() : SimController(VID_KORVANT, PID_COMMAND, SimFaults{}) {}

    // The next `times` reports must be `command`; each gets `replies`.
    ScriptedCommandController& Expect(uint16_t command, std::vector<SimReply> replies = {}, int times = 1)
    {
        for (int i = 0; i < times; ++i) m_steps.push_back({command, replies, false});
        return *this;
    }
    // The next report must be `command`; the controller vanishes without answering.
    ScriptedCommandController& ExpectAndUnplug(uint16_t command)
    {
        m_steps.push_back({command, {}, true});
        return *this;
    }
    bool ScriptDone() const { return m_steps.empty(); }

    SimResponse OnOutputReport(const uint8_t (&report)[kHidReportSize]) override
    {
        Record(report);
        const uint16_t command = LoadLe16(report + 1 + CMD_OFFSET_COMMAND);
        SimResponse response;
        if (m_steps.empty()) {
            ProtocolError("report " + std::to_string(m_received.size()) + ": command " + std::to_string(command) +
                          " after the script ended");
            return response;
        }
        Step step = m_steps.front();
        m_steps.pop_front();
        if (step.command != command) {
            ProtocolError("report " + std::to_string(m_received.size()) + ": command " + std::to_string(command) +
                          ", expected " + std::to_string(step.command));
            return response;
        }
        response.replies = step.replies;
        response.unplug = step.unplug;
        return response;
    }

    SimFamily Family() const override { return SimFamily::kCommand; }
    uint32_t VersionWord() const override { return 0; }
    bool UpdateCompleted() const override { return false; }
    std::vector<uint8_t> ReceivedImage() const override { return {}; }

private:
    struct Step {
        uint16_t command;
        std::vector<SimReply> replies;
        bool unplug;
    };
    std::deque<Step> m_steps;
};

// The fields of a command report as the controller received it (64 bytes after the id).
struct SentCommand {
    uint8_t kind;
    uint16_t command;
    uint16_t reserved;
    uint32_t length;
    uint32_t total;
    uint32_t address;
};

inline SentCommand DecodeSent(const std::vector<uint8_t>& r)
{
    return {r[CMD_OFFSET_KIND],         LoadLe16(&r[CMD_OFFSET_COMMAND]), LoadLe16(&r[CMD_OFFSET_RESERVED]),
            LoadLe32(&r[CMD_OFFSET_LENGTH]), LoadLe32(&r[CMD_OFFSET_TOTAL]),    LoadLe32(&r[CMD_OFFSET_ADDRESS])};
}
