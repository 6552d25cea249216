// Command reports: one command per output report, then reads until its acknowledgement.
#include "protocol/command_report.h"

#include "app/update_dlg.h"
#include "base/le.h"

#include <algorithm>
#include <cstring>

uint8_t g_deviceInfo[DEVICE_INFO_SIZE] = {};

namespace {

constexpr uint32_t kEraseFirstWaitMs = 1000;
constexpr uint32_t kErasePollWaitMs = 500;
// Polls without a busy reply after which the erase is given up.
constexpr uint16_t kErasePollLimit = 20;
// A controller that keeps answering "busy" is alive, but not for ever: after this many polls
// in all (about half a minute) the erase fails however the replies looked.
constexpr uint32_t kEraseTotalPollLimit = 60;
constexpr int kWriteReadLimit = 20;
constexpr int kInfoAttempts = 5;
constexpr uint32_t kInfoRetryWaitMs = 100;

uint16_t AckStatus() { return LoadLe16(g_inReport + ACK_OFFSET_STATUS); }

bool IsAckOf(uint16_t command)
{
    return g_inReport[ACK_OFFSET_ZERO] == 0x00 && g_inReport[ACK_OFFSET_KIND] == CMD_KIND &&
           LoadLe16(g_inReport + ACK_OFFSET_ECHO) == command;
}

bool IsBusyAck(uint16_t command) { return IsAckOf(command) && AckStatus() == STATUS_BUSY; }

// An acknowledgement of the command that says neither done nor busy: the controller heard it
// and would not do it.
bool IsRefusal(uint16_t command)
{
    return IsAckOf(command) && AckStatus() != STATUS_DONE && AckStatus() != STATUS_BUSY;
}

} // namespace

bool IsMatchingAck(uint16_t command) { return IsAckOf(command) && AckStatus() == STATUS_DONE; }

int SendCommandReport(const uint8_t* data, uint32_t length, uint32_t address, uint32_t total, uint16_t command,
                      uint16_t reserved)
{
    uint8_t frame[CMD_FRAME_SIZE] = {};
    frame[CMD_OFFSET_KIND] = CMD_KIND;
    length = std::min(length, CMD_MAX_DATA);
    StoreLe16(frame + CMD_OFFSET_COMMAND, command);
    StoreLe16(frame + CMD_OFFSET_RESERVED, reserved);
    StoreLe32(frame + CMD_OFFSET_LENGTH, length);
    StoreLe32(frame + CMD_OFFSET_TOTAL, total);
    StoreLe32(frame + CMD_OFFSET_ADDRESS, address);
    uint32_t dataBytes = 0;
    if (data) {
        std::memcpy(frame + CMD_OFFSET_DATA, data, length);
        dataBytes = length;
    }
    return g_pUpdateDlg->m_hid.WriteHid(frame, uint8_t(CMD_OFFSET_DATA + dataBytes));
}

int CUpdateDlg::EraseArea(uint16_t command, uint32_t address, uint32_t size)
{
    const uint32_t total = (size + (ERASE_UNIT - 1)) & ~(ERASE_UNIT - 1);
    SendCommandReport(nullptr, 0, address, total, command, 0);
    m_clock.SleepMs(kEraseFirstWaitMs);
    uint16_t polls = 0;
    uint32_t allPolls = 0;
    for (;;) {
        const uint32_t status = m_hid.ReadHid(g_inReport, kHidDataSize);
        if (status == HID_READ_OK && IsMatchingAck(command)) return 1;
        if (IsLinkLost(status)) {
            m_bDeviceGone = true;
            return 0;
        }
        if (status == HID_READ_OK && IsBusyAck(command)) polls = 0;
        if (status == HID_READ_OK && IsRefusal(command)) m_bRefused = true;
        SendCommandReport(nullptr, 0, address, total, command, 0);
        m_clock.SleepMs(kErasePollWaitMs);
        ++polls;
        ++allPolls;
        if (polls >= kErasePollLimit || allPolls >= kEraseTotalPollLimit) return 0;
    }
}

int CUpdateDlg::WriteBlock(const uint8_t* data, uint32_t address, uint32_t length, uint32_t total, int isImageData)
{
    const uint16_t command = isImageData ? CMD_WRITE_IMAGE : CMD_WRITE_RECORD;
    SendCommandReport(data, length, address, total, command, 0);
    for (int read = 0; read < kWriteReadLimit; ++read) {
        const uint32_t status = m_hid.ReadHid(g_inReport, kHidDataSize);
        if (status == HID_READ_OK && IsMatchingAck(command)) return 1;
        if (status == HID_READ_OK && IsRefusal(command)) m_bRefused = true;
        if (IsLinkLost(status)) {
            m_bDeviceGone = true;
            return 0;
        }
    }
    return 0;
}

int CUpdateDlg::RequestDeviceInfo(uint8_t* destination, uint32_t count)
{
    SendCommandReport(nullptr, DEVICE_INFO_SIZE, 0, DEVICE_INFO_SIZE, CMD_GET_INFO, 0);
    for (int attempt = 0; attempt < kInfoAttempts; ++attempt) {
        const uint32_t status = m_hid.ReadHid(g_inReport, kHidDataSize);
        if (IsLinkLost(status)) return 0;
        if (status != HID_READ_OK) {
            m_clock.SleepMs(kInfoRetryWaitMs);
            SendCommandReport(nullptr, 0, 0, 0, CMD_GET_INFO, 0);
            continue;
        }
        if (!IsMatchingAck(CMD_GET_INFO)) continue;
        std::memcpy(destination, g_inReport + ACK_OFFSET_REPLY, std::min(count, ACK_REPLY_SIZE));
        return 1;
    }
    return 0;
}

int CUpdateDlg::WriteVersionRecord()
{
    uint8_t version[4];
    StoreLe32(version, m_nFwVersion);
    return WriteBlock(version, LoadLe32(g_deviceInfo + INFO_OFFSET_RECORD_ADDRESS), sizeof version, sizeof version, 0);
}

int CUpdateDlg::SendFinishCommand()
{
    SendCommandReport(nullptr, 0, 0, 0, CMD_FINISH, 0);
    return m_hid.ReadHid(g_inReport, kHidDataSize) == HID_READ_OK && IsMatchingAck(CMD_FINISH) ? 1 : 0;
}
