#include "image/firmware_image.h"

#include "app/texts.h"
#include "base/le.h"
#include "base/strprintf.h"
#include "image/image_file.h"

FirmwareImageHeader DecodeImageHeader(const uint8_t (&bytes)[IMAGE_HEADER_SIZE])
{
    FirmwareImageHeader h;
    h.version = LoadLe16(bytes + IMAGE_OFFSET_VERSION);
    h.beta = LoadLe16(bytes + IMAGE_OFFSET_BETA);
    h.address = LoadLe32(bytes + IMAGE_OFFSET_ADDRESS);
    h.size = LoadLe32(bytes + IMAGE_OFFSET_SIZE);
    h.revision = LoadLe16(bytes + IMAGE_OFFSET_REVISION);
    return h;
}

ImageProblem CheckImage(const FirmwareImageHeader& header, uint64_t file_size)
{
    if (file_size < IMAGE_HEADER_SIZE) return ImageProblem::kTooShort;
    if (header.size == 0) return ImageProblem::kNoPayload;
    // 64-bit sum: a size near 4 GiB must not wrap around into "fits".
    if (file_size < uint64_t(IMAGE_HEADER_SIZE) + header.size) return ImageProblem::kTruncated;
    return ImageProblem::kNone;
}

std::string DescribeImageProblem(ImageProblem problem, const FirmwareImageHeader& header, uint64_t file_size)
{
    switch (problem) {
    case ImageProblem::kNone: return {};
    case ImageProblem::kUnreadable: return LoadLocalizedString(TEXT_IMAGE_UNREADABLE);
    case ImageProblem::kTooShort:
        return StrPrintf(LoadLocalizedString(TEXT_IMAGE_TOO_SHORT).c_str(), unsigned(file_size));
    case ImageProblem::kNoPayload: return LoadLocalizedString(TEXT_IMAGE_NO_PAYLOAD);
    case ImageProblem::kTruncated:
        return StrPrintf(LoadLocalizedString(TEXT_IMAGE_TRUNCATED).c_str(), unsigned(header.size),
                         (unsigned long long)(file_size - IMAGE_HEADER_SIZE));
    }
    return {};
}

const char* ImageProblemKey(ImageProblem problem)
{
    switch (problem) {
    case ImageProblem::kNone: return "";
    case ImageProblem::kUnreadable: return "unreadable";
    case ImageProblem::kTooShort: return "too-short";
    case ImageProblem::kNoPayload: return "no-payload";
    case ImageProblem::kTruncated: return "truncated";
    }
    return "";
}

std::string ConfirmationText(const FirmwareImageHeader& header)
{
    const std::string fw = LoadLocalizedString(TEXT_FW);
    const double v = double(header.version) / 100;
    if (header.beta != 0)
        return StrPrintf("%s v%.1f beta%d r%d\n", fw.c_str(), v, int(header.beta), int(header.revision));
    return StrPrintf("%s v%.1f r%d\n", fw.c_str(), v, int(header.revision));
}

ImageFileReport InspectImageFile(const std::string& path)
{
    ImageFileReport report;
    CImageFile file;
    if (!file.Open(path)) {
        report.problem = ImageProblem::kUnreadable;
        return report;
    }
    std::optional<uint64_t> size = file.Size();
    uint8_t bytes[IMAGE_HEADER_SIZE] = {};
    size_t got = file.Read(bytes, sizeof bytes);
    if (!size || file.Failed()) {
        report.problem = ImageProblem::kUnreadable;
        return report;
    }
    report.file_size = *size;
    if (got == sizeof bytes) report.header = DecodeImageHeader(bytes);
    report.problem = CheckImage(report.header, report.file_size);
    return report;
}
