// A controller of the framed family, as the message tables describe its side of the
// exchange: it answers the start message with its identity, takes the image header, asks
// for the image piece by piece, and reboots into the new firmware on the end message.
//
// It checks every report against the way the tool frames messages, because a simulated
// controller that quietly tolerates a malformed report would let a framing bug through to
// real hardware. Every deviation becomes a ProtocolError line; the controller then answers
// as leniently as a real one plausibly would, so one bug does not hide the next.
#include "base/le.h"
#include "base/strprintf.h"
#include "hid/hid.h"
#include "protocol/framed_message.h"
#include "sim/sim_controller.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <optional>

namespace {

// Output report layout: the report id, the count byte, then the message bytes.
constexpr int kReportOffsetId = 0;
constexpr int kReportOffsetCount = 1;
constexpr int kReportOffsetMessage = 2;

// Bytes of the identity record up to and including the firmware type.
constexpr int kIdentityMessageSize = FRAME_OFFSET_FIRMWARE_TYPE + 4;
constexpr int kVersionDataSize = 4;
// FIRMWARE_HEADER data after the three words must be zero.
constexpr int kHeaderDataZeros = FW_HEADER_OFFSET_SIZE + 4;

// A real controller marks the start of every message with 0x00; the bad-first-byte fault
// breaks exactly that mark.
constexpr uint8_t kBadFirstByte = 0x01;

const char* TypeName(uint8_t type)
{
    switch (type) {
    case TYPE_FIRMWARE: return "TYPE_FIRMWARE";
    case TYPE_IDENTITY: return "TYPE_IDENTITY";
    case TYPE_START_UPDATE: return "TYPE_START_UPDATE";
    case TYPE_RECEIVE_FAILED: return "TYPE_RECEIVE_FAILED";
    }
    return "unknown type";
}

// One framed message as the tool sent it, head fields decoded.
struct Message {
    std::vector<uint8_t> bytes;

    uint8_t Type() const { return bytes[FRAME_OFFSET_TYPE]; }
    uint16_t PayloadLength() const { return LoadLe16(&bytes[FRAME_OFFSET_LENGTH]); }
    uint8_t Command() const { return bytes[FRAME_OFFSET_COMMAND]; }
    bool IsShort() const { return bytes.size() == size_t(FRAME_SHORT_SIZE); }
    uint16_t DataLength() const { return IsShort() ? 0 : LoadLe16(&bytes[FRAME_OFFSET_DATA_LENGTH]); }
    const uint8_t* Data() const { return bytes.data() + FRAME_OFFSET_DATA; }
};

class FramedController final : public SimController {
public:
    explicit FramedController(const SimControllerOptions& options)
        : SimController(options.vendor_id ? options.vendor_id : VID_KORVANT,
                        options.product_id ? options.product_id : PID_FRAMED, options.faults),
          m_version(options.version_word)
    {
    }

    SimFamily Family() const override { return SimFamily::kFramed; }
    uint32_t VersionWord() const override { return m_version; }
    bool UpdateCompleted() const override { return m_completed; }
    std::vector<uint8_t> ReceivedImage() const override
    {
        if (!m_header) return {};
        const size_t n = std::min<size_t>(m_image.size(), m_header->size);
        return std::vector<uint8_t>(m_image.begin(), m_image.begin() + n);
    }

    SimResponse OnOutputReport(const uint8_t (&report)[kHidReportSize]) override
    {
        Record(report);
        std::optional<Message> message = Reassemble(report);
        if (!message) return {};
        SimResponse response = OnMessage(*message);
        if (m_faults.silence) response.replies.clear();
        return response;
    }

private:
    struct Header {
        uint32_t version = 0;
        uint32_t address = 0;
        uint32_t size = 0;
    };

    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, format);
        ProtocolError(VStrPrintf(format, ap));
        va_end(ap);
    }

    // Checks the report's framing and returns a whole message once all of its bytes are in.
    // Only FIRMWARE_DATA may span reports: its first report carries FRAME_DATA_PIECE bytes
    // with the head, the next ones carry the rest as they are.
    std::optional<Message> Reassemble(const uint8_t (&report)[kHidReportSize])
    {
        if (report[kReportOffsetId] != 0) Error("report id 0x%02x, expected 0", report[kReportOffsetId]);
        const int count = report[kReportOffsetCount];
        if (count < 1 || count > FRAME_MAX_PER_REPORT) {
            Error("count byte %d outside 1..%d", count, FRAME_MAX_PER_REPORT);
            m_pending.clear();
            return std::nullopt;
        }
        const uint8_t* bytes = report + kReportOffsetMessage;
        for (int i = kReportOffsetMessage + count; i < kHidReportSize; ++i) {
            if (report[i] != 0) {
                Error("report byte %d is 0x%02x after a count of %d; the rest must be zero", i, report[i], count);
                break;
            }
        }

        if (!m_pending.empty()) {
            const size_t missing = m_pendingSize - m_pending.size();
            if (size_t(count) > missing) {
                Error("continuation report of %d bytes, but only %zu bytes of the message were missing", count,
                      missing);
                m_pending.clear();
                return std::nullopt;
            }
            m_pending.insert(m_pending.end(), bytes, bytes + count);
            if (m_pending.size() < m_pendingSize) return std::nullopt;
            Message whole{std::move(m_pending)};
            m_pending.clear();
            return whole;
        }

        if (count < FRAME_SHORT_SIZE) {
            Error("count byte %d: shorter than the %d-byte short form", count, FRAME_SHORT_SIZE);
            return std::nullopt;
        }
        if (bytes[FRAME_OFFSET_ZERO] != 0) {
            Error("message byte 0 is 0x%02x, expected 0x00", bytes[FRAME_OFFSET_ZERO]);
            return std::nullopt;
        }
        const size_t size = size_t(FRAME_HEAD_SIZE) + LoadLe16(bytes + FRAME_OFFSET_LENGTH);
        if (size_t(count) == size) return Message{std::vector<uint8_t>(bytes, bytes + count)};
        const bool splitData = bytes[FRAME_OFFSET_TYPE] == TYPE_FIRMWARE &&
                               bytes[FRAME_OFFSET_COMMAND] == FIRMWARE_DATA && count == FRAME_DATA_PIECE &&
                               size > size_t(FRAME_DATA_PIECE);
        if (!splitData) {
            Error("count byte %d, but the message is %zu bytes long", count, size);
            return std::nullopt;
        }
        m_pending.assign(bytes, bytes + count);
        m_pendingSize = size;
        return std::nullopt;
    }

    SimResponse OnMessage(const Message& m)
    {
        switch (m.Type()) {
        case TYPE_START_UPDATE:
            if (!CheckControl(m)) return {};
            return OnStartUpdate();
        case TYPE_RECEIVE_FAILED:
            // The tool reads no position from a request, so answering this with the request
            // again would make it send the following piece and skip one.
            CheckControl(m);
            return {};
        case TYPE_FIRMWARE:
            if (!CheckFirmwareForm(m)) return {};
            return OnFirmwareCommand(m);
        }
        Error("message type 0x%02x (%s) is not one the tool sends", m.Type(), TypeName(m.Type()));
        return {};
    }

    bool CheckControl(const Message& m)
    {
        if (!m.IsShort()) {
            Error("%s of %zu bytes; control messages are %d bytes", TypeName(m.Type()), m.bytes.size(),
                  FRAME_SHORT_SIZE);
            return false;
        }
        if (m.Command() != 0) Error("%s with argument %d, expected 0", TypeName(m.Type()), m.Command());
        return true;
    }

    // Short form: payload length 1. Long form: payload length = data length + 3, at least one
    // data byte.
    bool CheckFirmwareForm(const Message& m)
    {
        if (m.IsShort()) {
            if (m.PayloadLength() != 1) Error("short form with payload length %d", m.PayloadLength());
            return m.PayloadLength() == 1;
        }
        if (m.bytes.size() < size_t(FRAME_LONG_OVERHEAD) + 1) {
            Error("TYPE_FIRMWARE message of %zu bytes: neither short nor long form", m.bytes.size());
            return false;
        }
        const size_t data = m.bytes.size() - FRAME_LONG_OVERHEAD;
        if (m.DataLength() != data || m.PayloadLength() != data + FRAME_PAYLOAD_DATA) {
            Error("command %d: data length %d and payload length %d do not fit a %zu-byte message", m.Command(),
                  m.DataLength(), m.PayloadLength(), m.bytes.size());
            return false;
        }
        return true;
    }

    SimResponse OnStartUpdate()
    {
        // A new update: whatever an earlier one left behind no longer counts.
        m_started = true;
        m_header.reset();
        m_image.clear();
        m_pieces = 0;
        m_failed = false;
        m_completed = false;
        uint8_t record[kIdentityMessageSize - FRAME_HEAD_SIZE] = {};
        StoreLe32(record + (FRAME_OFFSET_FIRMWARE_TYPE - FRAME_HEAD_SIZE),
                  m_faults.firmware_type.value_or(FIRMWARE_TYPE_BOOT));
        return Reply(TYPE_IDENTITY, record, sizeof record);
    }

    SimResponse OnFirmwareCommand(const Message& m)
    {
        switch (m.Command()) {
        case GET_FIRMWARE_VERSION:
            if (!m.IsShort()) Error("GET_FIRMWARE_VERSION query carries %d data bytes", m.DataLength());
            return VersionReport();
        case FIRMWARE_HEADER: return OnHeader(m);
        case FIRMWARE_DATA: return m.IsShort() ? OnEmptyData() : OnPiece(m);
        case FIRMWARE_END: return OnEnd(m);
        }
        Error("firmware command %d is not one the tool sends", m.Command());
        return {};
    }

    SimResponse VersionReport()
    {
        uint8_t version[kVersionDataSize];
        StoreLe32(version, m_faults.no_version ? DEVICE_VERSION_NONE : m_version);
        return FirmwareReply(GET_FIRMWARE_VERSION, version, sizeof version);
    }

    SimResponse OnHeader(const Message& m)
    {
        if (m.DataLength() != FIRMWARE_HEADER_DATA_SIZE) {
            Error("FIRMWARE_HEADER with %d data bytes, expected %d", m.DataLength(), FIRMWARE_HEADER_DATA_SIZE);
            return {};
        }
        if (!m_started) Error("FIRMWARE_HEADER without TYPE_START_UPDATE first");
        const uint8_t* d = m.Data();
        for (int i = kHeaderDataZeros; i < FIRMWARE_HEADER_DATA_SIZE; ++i)
            if (d[i] != 0) {
                Error("FIRMWARE_HEADER data byte %d is 0x%02x, expected 0", i, d[i]);
                break;
            }
        Header h;
        h.version = LoadLe32(d + FW_HEADER_OFFSET_VERSION);
        h.address = LoadLe32(d + FW_HEADER_OFFSET_ADDRESS);
        h.size = LoadLe32(d + FW_HEADER_OFFSET_SIZE);
        if (h.size == 0) Error("FIRMWARE_HEADER announces an image of 0 bytes");
        m_header = h;
        m_image.clear();
        m_pieces = 0;
        return FirmwareReply(SET_FIRMWARE_DATA);
    }

    bool ImageWhole() const { return m_header && m_image.size() >= m_header->size; }

    SimResponse OnPiece(const Message& m)
    {
        const int n = m.DataLength();
        if (!m_header) {
            Error("FIRMWARE_DATA piece of %d bytes before FIRMWARE_HEADER", n);
            return {};
        }
        if (m_failed) {
            Error("FIRMWARE_DATA piece after the failure report");
            return {};
        }
        if (n > FIRMWARE_PIECE_SIZE) {
            Error("FIRMWARE_DATA piece of %d bytes; the controller asks for %d at a time", n, FIRMWARE_PIECE_SIZE);
            return FirmwareReply(SET_FIRMWARE_DATA);
        }
        if (ImageWhole()) {
            // It already has every byte and waits for FIRMWARE_END; it asks once more.
            Error("FIRMWARE_DATA piece of %d bytes after all %u bytes of the image", n, m_header->size);
            return FirmwareReply(SET_FIRMWARE_DATA);
        }
        if (n != FIRMWARE_PIECE_SIZE && m_image.size() + n < m_header->size)
            Error("FIRMWARE_DATA piece of %d bytes at offset %zu of %u: only the last piece may be short", n,
                  m_image.size(), m_header->size);

        const uint32_t piece = ++m_pieces;
        if (m_faults.fail_at == piece) {
            m_failed = true;
            return FirmwareReply(FIRMWARE_FAILED);
        }
        if (m_faults.unplug_at == piece) {
            SimResponse gone;
            gone.unplug = true;
            return gone;
        }
        m_image.insert(m_image.end(), m.Data(), m.Data() + n);
        return FirmwareReply(SET_FIRMWARE_DATA);
    }

    // The tool's file is exhausted: legitimate right after the piece that completed the
    // image (an image of a whole number of pieces), a lost image otherwise.
    SimResponse OnEmptyData()
    {
        if (!m_header) {
            Error("empty FIRMWARE_DATA before FIRMWARE_HEADER");
            return {};
        }
        if (!ImageWhole())
            Error("empty FIRMWARE_DATA at offset %zu of %u: the image ended early", m_image.size(), m_header->size);
        return FirmwareReply(SET_FIRMWARE_DATA);
    }

    SimResponse OnEnd(const Message& m)
    {
        if (!m.IsShort()) Error("FIRMWARE_END carries %d data bytes", m.DataLength());
        if (!m_header) {
            Error("FIRMWARE_END before FIRMWARE_HEADER");
            return {};
        }
        if (!ImageWhole()) {
            Error("FIRMWARE_END after %zu of %u bytes", m_image.size(), m_header->size);
            return {};
        }
        // It reboots into the new firmware: no answer, and from now on it reports the image's
        // version.
        m_completed = true;
        m_version = m_header->version;
        m_started = false;
        return {};
    }

    SimResponse FirmwareReply(uint8_t command, const uint8_t* data = nullptr, int length = 0)
    {
        uint8_t payload[FRAME_MAX_PER_REPORT] = {};
        payload[0] = command;
        if (length == 0) return Reply(TYPE_FIRMWARE, payload, 1);
        StoreLe16(payload + (FRAME_OFFSET_DATA_LENGTH - FRAME_OFFSET_COMMAND), uint16_t(length));
        std::memcpy(payload + FRAME_PAYLOAD_DATA, data, size_t(length));
        return Reply(TYPE_FIRMWARE, payload, FRAME_PAYLOAD_DATA + length);
    }

    // One input report: the count byte, then the message.
    SimResponse Reply(uint8_t type, const uint8_t* payload, int length)
    {
        SimReply r;
        uint8_t* message = r.data + INREPORT_OFFSET_MESSAGE;
        r.data[INREPORT_OFFSET_COUNT] = uint8_t(FRAME_HEAD_SIZE + length);
        message[FRAME_OFFSET_ZERO] = m_faults.bad_first_byte ? kBadFirstByte : 0x00;
        message[FRAME_OFFSET_TYPE] = type;
        StoreLe16(message + FRAME_OFFSET_LENGTH, uint16_t(length));
        std::memcpy(message + FRAME_HEAD_SIZE, payload, size_t(length));
        SimResponse response;
        response.replies.push_back(r);
        return response;
    }

    uint32_t m_version;
    bool m_started = false;
    std::optional<Header> m_header;
    std::vector<uint8_t> m_image;
    uint32_t m_pieces = 0;
    bool m_failed = false;
    bool m_completed = false;
    std::vector<uint8_t> m_pending;
    size_t m_pendingSize = 0;
};

} // namespace

std::unique_ptr<SimController> MakeFramedController(const SimControllerOptions& options)
{
    return std::make_unique<FramedController>(options);
}
