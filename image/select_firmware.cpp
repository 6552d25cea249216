// Choosing an image: the file dialog, the header, the checks, the confirmation, and for a
// framed controller the hand-off that describes the image to it.
#include "app/texts.h"
#include "app/update_dlg.h"
#include "base/debug_output.h"
#include "image/firmware_image.h"

#include <cstring>
#include <filesystem>

namespace {

constexpr uint32_t kStreamingReadTimeoutMs = 10;
// The open-file dialog's initial directory is the current one, when it fits this buffer.
constexpr size_t kCurrentDirectoryChars = 256;

std::optional<std::string> CurrentDirectory()
{
    std::error_code ec;
    std::string dir = std::filesystem::current_path(ec).string();
    if (ec || dir.size() + 1 > kCurrentDirectoryChars) return std::nullopt;
    return dir;
}

} // namespace

int CUpdateDlg::SelectFirmwareFile()
{
    const FileFilter filter{LoadLocalizedString(TEXT_FILE_TYPE) + "(*.dat)", "*.dat"};
    std::optional<std::string> chosen = m_view.OpenFileDialog(filter, CurrentDirectory());
    if (!chosen) {
        m_lastOutcome = UpdateOutcome::kCancelled;
        return 0;
    }
    m_strFirmwarePath = *chosen;

    CImageFile file;
    if (!file.Open(m_strFirmwarePath)) {
        m_lastOutcome = UpdateOutcome::kInvalidImage;
        return 0;
    }
    const std::optional<uint64_t> fileSize = file.Size();
    uint8_t header[IMAGE_HEADER_SIZE];
    const size_t got = file.Read(header, sizeof header);
    const bool readFailed = !fileSize || file.Failed();
    file.Close();

    const std::string caption = LoadLocalizedString(TEXT_TITLE);
    // Refuse what the controller could not be given whole, before anything describes it to
    // the controller: a payload of 0 bytes, or a file that ends before its payload does.
    FirmwareImageHeader decoded;
    ImageProblem problem = ImageProblem::kUnreadable;
    if (!readFailed) {
        if (got == sizeof header) {
            std::memcpy(m_header, header, sizeof header);
            decoded = DecodeImageHeader(header);
            m_nFwVersion = decoded.version;
            m_nFwAddress = decoded.address;
            m_nFwSize = decoded.size;
            m_nBytesSent = 0;
            m_nFwRevision = decoded.revision;
        }
        problem = CheckImage(decoded, *fileSize);
    }
    if (problem != ImageProblem::kNone) {
        DebugPrintf("image refused: %s\n", ImageProblemKey(problem));
        m_lastOutcome = UpdateOutcome::kInvalidImage;
        m_view.MessageBox(DescribeImageProblem(problem, decoded, readFailed ? 0 : *fileSize), caption,
                          MsgBoxType::kOk);
        return 0;
    }

    if (m_view.MessageBox(ConfirmationText(decoded), caption, MsgBoxType::kOkCancel) != MsgBoxResult::kOk) {
        DebugPrintf("MessageBox == IDCANCEL\n");
        m_lastOutcome = UpdateOutcome::kCancelled;
        return 0;
    }
    m_hid.SetReadTimeout(kStreamingReadTimeoutMs);
    m_nFwVersion = decoded.VersionWord();

    if (g_bDirectDevice == 0) FramedHandOff();
    return 1;
}
