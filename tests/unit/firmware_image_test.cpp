// The image header, the confirmation line, and the checks that refuse an image the
// controller could not be given whole.
#include "image/firmware_image.h"
#include "tests/support/env_guard.h"
#include "tests/support/image_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

void UseLanguage(EnvGuard& env, const char* lang)
{
    for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) env.Set(v, std::nullopt);
    env.Set("LANG", lang);
}

TEST(ImageHeader, DecodesEachFieldLittleEndianAndIgnoresTheRest)
{
    uint8_t bytes[IMAGE_HEADER_SIZE];
    for (int i = 0; i < int(IMAGE_HEADER_SIZE); ++i) bytes[i] = uint8_t(0xA0 + i);
    const FirmwareImageHeader h = DecodeImageHeader(bytes);
    EXPECT_EQ(h.version, 0xA1A0);
    EXPECT_EQ(h.beta, 0xA3A2);
    EXPECT_EQ(h.address, 0xA7A6A5A4u);
    EXPECT_EQ(h.size, 0xABAAA9A8u);
    EXPECT_EQ(h.revision, 0xB5B4);
    EXPECT_EQ(h.VersionWord(), 0xA3A2A1A0u);

    // Bytes 12-19 and 22-27 carry nothing.
    uint8_t other[IMAGE_HEADER_SIZE];
    std::copy(bytes, bytes + IMAGE_HEADER_SIZE, other);
    for (int i : {12, 13, 14, 15, 16, 17, 18, 19, 22, 23, 24, 25, 26, 27}) other[i] = 0x00;
    const FirmwareImageHeader g = DecodeImageHeader(other);
    EXPECT_EQ(g.VersionWord(), h.VersionWord());
    EXPECT_EQ(g.address, h.address);
    EXPECT_EQ(g.size, h.size);
    EXPECT_EQ(g.revision, h.revision);
}

struct ConfirmCase {
    uint16_t version, beta, revision;
    const char* lang;
    const char* text;
};

TEST(ImageHeader, ConfirmationLine)
{
    const ConfirmCase cases[] = {
        {123, 0, 4, "en_US.UTF-8", "Fw v1.2 r4\n"},
        {123, 2, 4, "en_US.UTF-8", "Fw v1.2 beta2 r4\n"},
        {100, 0, 0, "en_US.UTF-8", "Fw v1.0 r0\n"},
        {105, 0, 3, "en_US.UTF-8", "Fw v1.1 r3\n"},   // 1.05 rounds to one decimal
        {65535, 65535, 65535, "C", "Fw v655.4 beta65535 r65535\n"},
        {123, 0, 4, "zh_CN.UTF-8", "固件版本 v1.2 r4\n"},
        {123, 2, 4, "zh_CN.UTF-8", "固件版本 v1.2 beta2 r4\n"},
    };
    for (const ConfirmCase& c : cases) {
        EnvGuard env;
        UseLanguage(env, c.lang);
        FirmwareImageHeader h;
        h.version = c.version;
        h.beta = c.beta;
        h.revision = c.revision;
        EXPECT_EQ(ConfirmationText(h), c.text);
    }
}

TEST(ImageHeader, ConfirmationUsesAPointWhateverTheProcessLocale)
{
    // A toolkit may switch the process to the user's locale, where 1.2 is written 1,2.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma on this machine";
    EnvGuard env;
    UseLanguage(env, "en_US.UTF-8");
    FirmwareImageHeader h;
    h.version = 123;
    h.revision = 4;
    const std::string text = ConfirmationText(h);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "Fw v1.2 r4\n");
}

struct CheckCase {
    const char* name;
    uint32_t size;
    uint64_t file_size;
    ImageProblem problem;
};

TEST(ImageCheck, RefusesWhatCannotBeDeliveredWhole)
{
    const CheckCase cases[] = {
        {"empty file", 100, 0, ImageProblem::kTooShort},
        {"header cut short", 100, 27, ImageProblem::kTooShort},
        {"no payload", 0, 28, ImageProblem::kNoPayload},
        {"no payload, bytes follow", 0, 500, ImageProblem::kNoPayload},
        {"one byte missing", 100, 127, ImageProblem::kTruncated},
        {"size near 4 GiB", 0xFFFFFFFF, 1000, ImageProblem::kTruncated},
        {"size near 4 GiB, file 4 GiB", 0xFFFFFFFF, 0xFFFFFFFFull + 27, ImageProblem::kTruncated},
        {"exact", 100, 128, ImageProblem::kNone},
        {"longer than announced", 100, 156, ImageProblem::kNone},
        {"one byte", 1, 29, ImageProblem::kNone},
    };
    for (const CheckCase& c : cases) {
        FirmwareImageHeader h;
        h.size = c.size;
        EXPECT_EQ(CheckImage(h, c.file_size), c.problem) << c.name;
    }
}

TEST(ImageCheck, ExplainsTheProblemInTheUsersLanguage)
{
    FirmwareImageHeader h;
    h.size = 100;
    {
        EnvGuard env;
        UseLanguage(env, "en_US.UTF-8");
        const std::string en = DescribeImageProblem(ImageProblem::kTruncated, h, 90);
        EXPECT_NE(en.find("100 bytes"), std::string::npos) << en;
        EXPECT_NE(en.find("only 62"), std::string::npos) << en;
        EXPECT_NE(en.find("Nothing was sent"), std::string::npos) << en;
        EXPECT_NE(DescribeImageProblem(ImageProblem::kTooShort, h, 20).find("20 bytes"), std::string::npos);
        EXPECT_EQ(DescribeImageProblem(ImageProblem::kNone, h, 128), "");
    }
    {
        EnvGuard env;
        UseLanguage(env, "zh_CN.UTF-8");
        const std::string zh = DescribeImageProblem(ImageProblem::kTruncated, h, 90);
        EXPECT_NE(zh.find("100 字节"), std::string::npos) << zh;
        EXPECT_NE(zh.find("62 字节"), std::string::npos) << zh;
    }
}

TEST(ImageCheck, InspectsFilesOnDisk)
{
    TempDir dir;
    WriteImage(dir.File("ok.dat"), {.version = 123, .beta = 2, .size = 92, .revision = 4});
    WriteImage(dir.File("short.dat"), {.size = 92, .payload_bytes = 91});
    WriteBytes(dir.File("tiny.dat"), std::vector<uint8_t>(27, 0x11));

    const ImageFileReport ok = InspectImageFile(dir.File("ok.dat"));
    EXPECT_EQ(ok.problem, ImageProblem::kNone);
    EXPECT_EQ(ok.file_size, 120u);
    EXPECT_EQ(ok.header.VersionWord(), 2u * 65536 + 123);
    EXPECT_EQ(InspectImageFile(dir.File("short.dat")).problem, ImageProblem::kTruncated);
    EXPECT_EQ(InspectImageFile(dir.File("tiny.dat")).problem, ImageProblem::kTooShort);
    EXPECT_EQ(InspectImageFile(dir.File("missing.dat")).problem, ImageProblem::kUnreadable);
    EXPECT_EQ(InspectImageFile(dir.Path().string()).problem, ImageProblem::kUnreadable); // a directory
}

} // namespace
