#pragma once
// The firmware image file (*.dat): a 28-byte little-endian header, then the payload that is
// written into the controller.
//
//   offset size field
//   0      2    version x 100 (123 = 1.23)     } together: the version word
//   2      2    beta number, 0 for a release   }
//   4      4    load address of the payload
//   8      4    payload size in bytes
//   12     8    not interpreted
//   20     2    revision number
//   22     6    not interpreted
//   28     ...  payload
//
// The header carries no signature and no checksum. What we do check, before a single report
// reaches the controller, is that the file can deliver what its header announces: a payload
// of size 0 or a file shorter than 28 + size would leave the controller half written.
#include <cstdint>
#include <string>

constexpr uint32_t IMAGE_HEADER_SIZE = 28;
constexpr uint32_t IMAGE_OFFSET_VERSION = 0;
constexpr uint32_t IMAGE_OFFSET_BETA = 2;
constexpr uint32_t IMAGE_OFFSET_ADDRESS = 4;
constexpr uint32_t IMAGE_OFFSET_SIZE = 8;
constexpr uint32_t IMAGE_OFFSET_REVISION = 20;
constexpr uint32_t IMAGE_PAYLOAD_OFFSET = IMAGE_HEADER_SIZE;

struct FirmwareImageHeader {
    uint16_t version = 0;   // x 100
    uint16_t beta = 0;
    uint32_t address = 0;
    uint32_t size = 0;
    uint16_t revision = 0;

    // Low 16 bits version x 100, high 16 bits beta: bytes 0-3 as one number.
    uint32_t VersionWord() const { return uint32_t(version) | (uint32_t(beta) << 16); }
};

FirmwareImageHeader DecodeImageHeader(const uint8_t (&bytes)[IMAGE_HEADER_SIZE]);

enum class ImageProblem {
    kNone,
    kUnreadable,  // the file could not be opened or read
    kTooShort,    // fewer than 28 bytes: no whole header
    kNoPayload,   // the header announces a payload of 0 bytes
    kTruncated,   // the file ends before 28 + the announced payload size
};

// What the header promises, checked against the file's real size.
ImageProblem CheckImage(const FirmwareImageHeader& header, uint64_t file_size);

// The user's explanation of a problem, in the user's language (empty for kNone).
std::string DescribeImageProblem(ImageProblem problem, const FirmwareImageHeader& header, uint64_t file_size);
// A stable English key for scripts ("too-short", "no-payload", "truncated", "unreadable").
const char* ImageProblemKey(ImageProblem problem);

// The confirmation line: "<Fw> v1.2 r4\n", or "<Fw> v1.2 beta2 r4\n" for a beta, with the
// version shown to one decimal place.
std::string ConfirmationText(const FirmwareImageHeader& header);

// Everything a front end wants to know about an image file without a controller.
struct ImageFileReport {
    FirmwareImageHeader header;
    uint64_t file_size = 0;
    ImageProblem problem = ImageProblem::kNone;
};
ImageFileReport InspectImageFile(const std::string& path);
