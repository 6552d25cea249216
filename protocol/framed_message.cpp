#include "protocol/framed_message.h"

#include "app/update_dlg.h"
#include "base/debug_output.h"
#include "base/le.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The count byte and the message bytes of one output report are assembled here. Only the
// link's current user sends, so one area serves the process.
uint8_t g_sendArea[kHidDataSize];

bool SendFramedPiece(const uint8_t* bytes, int count)
{
    g_sendArea[0] = uint8_t(count);
    std::memcpy(g_sendArea + 1, bytes, size_t(count));
    return g_pUpdateDlg->m_hid.WriteHid(g_sendArea, uint8_t(count + 1)) != 0;
}

} // namespace

void SendFirmwarePacket(uint8_t command, const uint8_t* data, int length)
{
    std::vector<uint8_t> message(size_t(std::max(length, 0)) + FRAME_LONG_OVERHEAD, 0);
    message[FRAME_OFFSET_ZERO] = 0x00;
    message[FRAME_OFFSET_TYPE] = TYPE_FIRMWARE;
    int size = FRAME_SHORT_SIZE;
    if (length >= 1) {
        StoreLe16(&message[FRAME_OFFSET_LENGTH], uint16_t(length + 3));
        message[FRAME_OFFSET_COMMAND] = command;
        StoreLe16(&message[FRAME_OFFSET_DATA_LENGTH], uint16_t(length));
        std::memcpy(&message[FRAME_OFFSET_DATA], data, size_t(length));
        size = length + FRAME_LONG_OVERHEAD;
    } else {
        StoreLe16(&message[FRAME_OFFSET_LENGTH], 1);
        message[FRAME_OFFSET_COMMAND] = command;
    }

    if (command != FIRMWARE_DATA) {
        DebugPrintf("SendFirmwarePacket cmd %d\n", command);
        // Only FIRMWARE_DATA may span reports; a longer command message has no meaning to
        // the controller, so it is refused rather than cut.
        if (size > FRAME_MAX_PER_REPORT) return;
        SendFramedPiece(message.data(), size);
        return;
    }

    int offset = 0;
    int remaining = size;
    while (remaining > 0) {
        const int piece = std::min(remaining, FRAME_DATA_PIECE);
        if (!SendFramedPiece(message.data() + offset, piece)) {
            DebugPrintf("WriteHid error\n");
            return;
        }
        remaining -= piece;
        offset += piece;
        DebugPrintf("WriteHid %d btye sucessful\n", piece);
    }
}

bool SendControlPacket(uint8_t type, uint8_t argument)
{
    uint8_t message[FRAME_SHORT_SIZE] = {};
    message[FRAME_OFFSET_ZERO] = 0x00;
    message[FRAME_OFFSET_TYPE] = type;
    StoreLe16(message + FRAME_OFFSET_LENGTH, 1);
    message[FRAME_OFFSET_COMMAND] = argument;
    return SendFramedPiece(message, FRAME_SHORT_SIZE);
}

void CUpdateDlg::SendImageHeader()
{
    uint8_t data[FIRMWARE_HEADER_DATA_SIZE] = {};
    StoreLe32(data + FW_HEADER_OFFSET_VERSION, m_nFwVersion);
    StoreLe32(data + FW_HEADER_OFFSET_ADDRESS, m_nFwAddress);
    StoreLe32(data + FW_HEADER_OFFSET_SIZE, m_nFwSize);
    SendFirmwarePacket(FIRMWARE_HEADER, data, FIRMWARE_HEADER_DATA_SIZE);
}

void CUpdateDlg::SendImageData(const uint8_t* data, int length)
{
    SendFirmwarePacket(FIRMWARE_DATA, data, length);
}
