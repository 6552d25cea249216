// The command-report controller as a simulation: erase, 46-byte image blocks, version
// record, finish and the information record, with the faults of sim_faults.h.
//
// It is deliberately strict: anything a correct tool would never send (a stray byte after
// the data, a block out of order, a record at the wrong address) is recorded as a protocol
// error and refused, so a flow test notices the tool's mistake instead of a lenient fake
// hiding it.
#include "sim/sim_controller.h"

#include "base/le.h"
#include "hid/hid.h"
#include "protocol/command_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Statuses of our own for the refusals; the tool treats every non-zero status alike.
constexpr uint16_t kStatusRefused = 0x0001;   // fail-at: the flash write failed
constexpr uint16_t kStatusRejected = 0x0002;  // the report broke the protocol

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

class CommandController final : public SimController {
public:
    explicit CommandController(const SimControllerOptions& o)
        : SimController(o.vendor_id ? o.vendor_id : VID_KORVANT, o.product_id ? o.product_id : PID_COMMAND, o.faults),
          m_version(o.faults.no_version ? INFO_VERSION_NONE : o.version_word),
          m_revision(o.faults.no_version ? INFO_REVISION_NONE : o.revision),
          m_recordAddress(o.record_address)
    {
    }

    SimFamily Family() const override { return SimFamily::kCommand; }
    uint32_t VersionWord() const override { return m_version; }
    bool UpdateCompleted() const override { return m_completed; }

    std::vector<uint8_t> ReceivedImage() const override
    {
        if (!m_erase || !m_payloadSize) return {};
        return std::vector<uint8_t>(m_memory.begin(), m_memory.begin() + *m_payloadSize);
    }

    SimResponse OnOutputReport(const uint8_t (&report)[kHidReportSize]) override
    {
        Record(report);
        SimResponse response;
        const uint8_t* r = report + 1;
        const uint16_t command = LoadLe16(r + CMD_OFFSET_COMMAND);
        const Answer answer = Handle(report[0], r, command);
        if (answer.unplug) {
            response.unplug = true;
            return response;
        }
        if (m_faults.silence) return response;

        SimReply ack;
        ack.data[ACK_OFFSET_ZERO] = m_faults.bad_first_byte ? 0x01 : 0x00;
        ack.data[ACK_OFFSET_KIND] = CMD_KIND;
        StoreLe16(ack.data + ACK_OFFSET_STATUS, m_faults.bad_status ? *m_faults.bad_status : answer.status);
        StoreLe16(ack.data + ACK_OFFSET_ECHO, command);
        std::memcpy(ack.data + ACK_OFFSET_REPLY, answer.reply, ACK_REPLY_SIZE);
        // The old acknowledgement a real controller can leave in its IN endpoint: the tool
        // must skip it by its echo, not take it for the answer to this command.
        if (m_faults.stale_acks && m_lastAck) response.replies.push_back(*m_lastAck);
        response.replies.push_back(ack);
        m_lastAck = ack;
        return response;
    }

private:
    struct Answer {
        uint16_t status = STATUS_DONE;
        bool unplug = false;
        uint8_t reply[ACK_REPLY_SIZE] = {};
    };
    struct Erase {
        uint32_t address;
        uint32_t total;
    };

    Answer Reject(const std::string& what)
    {
        ProtocolError(what);
        Answer a;
        a.status = kStatusRejected;
        return a;
    }

    Answer Handle(uint8_t reportId, const uint8_t* r, uint16_t command)
    {
        const uint16_t reserved = LoadLe16(r + CMD_OFFSET_RESERVED);
        const uint32_t length = LoadLe32(r + CMD_OFFSET_LENGTH);
        const uint32_t total = LoadLe32(r + CMD_OFFSET_TOTAL);
        const uint32_t address = LoadLe32(r + CMD_OFFSET_ADDRESS);
        const std::string name = "command " + Hex(command);
        if (reportId != 0) return Reject(name + ": report id " + Hex(reportId) + ", expected 0");
        if (r[CMD_OFFSET_KIND] != CMD_KIND) return Reject(name + ": kind " + Hex(r[CMD_OFFSET_KIND]) + ", expected 0x5");
        if (reserved != 0) return Reject(name + ": reserved field " + Hex(reserved) + ", expected 0");
        const bool known = command == CMD_GET_INFO || command == CMD_ERASE || command == CMD_WRITE_IMAGE ||
                           command == CMD_WRITE_RECORD || command == CMD_FINISH;
        if (!known) return Reject("unknown command " + Hex(command));
        // Nothing may follow the data. Only the writes carry data; the first information
        // request announces 46 bytes and carries none.
        const bool carriesData = command == CMD_WRITE_IMAGE || command == CMD_WRITE_RECORD;
        const uint32_t dataEnd = CMD_OFFSET_DATA + (carriesData ? std::min(length, CMD_MAX_DATA) : 0);
        for (uint32_t i = dataEnd; i < CMD_FRAME_SIZE; ++i)
            if (r[i] != 0) return Reject(name + ": byte " + std::to_string(i) + " after the data is not zero");

        switch (command) {
        case CMD_GET_INFO: return GetInfo(length, total, address);
        case CMD_ERASE: return DoErase(length, total, address);
        case CMD_WRITE_IMAGE: return WriteImage(r + CMD_OFFSET_DATA, length, total, address);
        case CMD_WRITE_RECORD: return WriteRecord(r + CMD_OFFSET_DATA, length, total, address);
        default: return Finish(length, total, address);
        }
    }

    Answer GetInfo(uint32_t length, uint32_t total, uint32_t address)
    {
        // The first request asks for the 48-byte record (length capped to 46, no data), a
        // repeated one asks with zeros.
        const bool first = length == CMD_MAX_DATA && total == DEVICE_INFO_SIZE;
        const bool repeat = length == 0 && total == 0;
        if (!first && !repeat)
            return Reject("CMD_GET_INFO: length " + std::to_string(length) + " total " + std::to_string(total) +
                          ", expected 46/48 or 0/0");
        if (address != 0) return Reject("CMD_GET_INFO: address " + Hex(address) + ", expected 0");
        Answer a;
        // Bytes the tool does not interpret carry something, so a tool that reads the
        // wrong offsets shows it.
        StoreLe16(a.reply + 0, m_productId);
        StoreLe16(a.reply + 2, m_vendorId);
        StoreLe32(a.reply + INFO_OFFSET_VERSION, m_version);
        for (int i = 8; i < INFO_OFFSET_RECORD_ADDRESS; ++i) a.reply[i] = uint8_t(0xA0 + i);
        StoreLe32(a.reply + INFO_OFFSET_RECORD_ADDRESS, m_recordAddress);
        StoreLe16(a.reply + INFO_OFFSET_REVISION, m_revision);
        return a;
    }

    Answer DoErase(uint32_t length, uint32_t total, uint32_t address)
    {
        if (length != 0) return Reject("CMD_ERASE: length " + std::to_string(length) + ", expected 0");
        if (total == 0 || total % ERASE_UNIT != 0)
            return Reject("CMD_ERASE: total " + Hex(total) + " is not a non-zero multiple of 0x8000");
        if (uint64_t(address) + total > 0x100000000ull)
            return Reject("CMD_ERASE: area " + Hex(address) + "+" + Hex(total) + " runs past the address space");
        ++m_eraseReports;
        const bool busy = m_faults.erase_busy_forever || (m_faults.erase_busy && m_eraseReports <= *m_faults.erase_busy);
        // Whatever was stored is going; the area counts as erased only once an erase is
        // acknowledged as done, so a write while it is still busy is a protocol error.
        m_erase.reset();
        m_memory.clear();
        m_payloadSize.reset();
        m_nextOffset = 0;
        m_lastBlock.reset();
        m_recordWritten = false;
        m_completed = false;
        Answer a;
        if (busy) a.status = STATUS_BUSY;
        else {
            m_erase = Erase{address, total};
            m_memory.assign(total, 0xFF);
        }
        return a;
    }

    Answer WriteImage(const uint8_t* data, uint32_t length, uint32_t total, uint32_t address)
    {
        if (!m_erase) return Reject("CMD_WRITE_IMAGE at " + Hex(address) + " before any erase");
        if (length == 0 || length > CMD_MAX_DATA)
            return Reject("CMD_WRITE_IMAGE: length " + std::to_string(length) + ", expected 1 to 46");
        if (total == 0 || (uint64_t(total) + ERASE_UNIT - 1) / ERASE_UNIT * ERASE_UNIT != m_erase->total)
            return Reject("CMD_WRITE_IMAGE: total " + std::to_string(total) + " does not fit the erase of " +
                          Hex(m_erase->total));
        if (m_payloadSize && *m_payloadSize != total)
            return Reject("CMD_WRITE_IMAGE: total " + std::to_string(total) + ", earlier blocks said " +
                          std::to_string(*m_payloadSize));
        if (address < m_erase->address || uint64_t(address) + length > uint64_t(m_erase->address) + m_erase->total)
            return Reject("CMD_WRITE_IMAGE: " + std::to_string(length) + " bytes at " + Hex(address) +
                          " outside the erased area " + Hex(m_erase->address) + "+" + Hex(m_erase->total));
        const uint32_t offset = address - m_erase->address;
        const bool resend = m_lastBlock && m_lastBlock->first == offset && m_lastBlock->second == length;
        if (!resend && offset != m_nextOffset)
            return Reject("CMD_WRITE_IMAGE: block at offset " + std::to_string(offset) + ", expected " +
                          std::to_string(m_nextOffset));
        // Every block but the last is a full one.
        const uint32_t expected = std::min<uint32_t>(CMD_MAX_DATA, total - std::min(offset, total));
        if (length != expected)
            return Reject("CMD_WRITE_IMAGE: " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                          ", expected " + std::to_string(expected));
        m_payloadSize = total;
        // Blocks are numbered by place, so a resend keeps its number and a refused block
        // stays refused however often it comes again.
        const uint32_t block = offset / CMD_MAX_DATA + 1;
        if (m_faults.unplug_at && block == *m_faults.unplug_at) {
            Answer a;
            a.unplug = true;
            return a;
        }
        if (m_faults.fail_at && block >= *m_faults.fail_at) {
            Answer a;
            a.status = kStatusRefused;
            return a;
        }
        std::memcpy(m_memory.data() + offset, data, length);
        m_lastBlock = {offset, length};
        m_nextOffset = offset + length;
        return Answer{};
    }

    Answer WriteRecord(const uint8_t* data, uint32_t length, uint32_t total, uint32_t address)
    {
        if (length != 4 || total != 4)
            return Reject("CMD_WRITE_RECORD: length " + std::to_string(length) + " total " + std::to_string(total) +
                          ", expected 4/4");
        if (address != m_recordAddress)
            return Reject("CMD_WRITE_RECORD at " + Hex(address) + ", the record lives at " + Hex(m_recordAddress));
        if (!ImageWhole()) return Reject("CMD_WRITE_RECORD before the image was written whole");
        m_record = LoadLe32(data);
        m_recordWritten = true;
        return Answer{};
    }

    Answer Finish(uint32_t length, uint32_t total, uint32_t address)
    {
        if (length != 0 || total != 0 || address != 0)
            return Reject("CMD_FINISH: length " + std::to_string(length) + " total " + std::to_string(total) +
                          " address " + Hex(address) + ", expected zeros");
        if (!ImageWhole() || !m_recordWritten)
            return Reject("CMD_FINISH before the image and its version record were written");
        m_completed = true;
        m_version = m_record;
        return Answer{};
    }

    bool ImageWhole() const { return m_erase && m_payloadSize && m_nextOffset == *m_payloadSize; }

    uint32_t m_version;
    uint16_t m_revision;
    uint32_t m_recordAddress;
    std::optional<Erase> m_erase;
    std::vector<uint8_t> m_memory;               // the erased area, 0xFF where not written
    std::optional<uint32_t> m_payloadSize;       // from the first block's total
    uint32_t m_nextOffset = 0;                   // where the next new block must start
    std::optional<std::pair<uint32_t, uint32_t>> m_lastBlock;  // offset, length
    uint32_t m_eraseReports = 0;
    uint32_t m_record = 0;
    bool m_recordWritten = false;
    bool m_completed = false;
    std::optional<SimReply> m_lastAck;
};

} // namespace

std::unique_ptr<SimController> MakeCommandController(const SimControllerOptions& options)
{
    return std::make_unique<CommandController>(options);
}
