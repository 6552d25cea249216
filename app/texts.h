#pragma once
// Every text the user sees comes from one table held in two languages. A text is named by
// an index; the Chinese set sits at string id 129 + index, the English set at 238 + index,
// and the user's interface language picks the set (only 0x0804 gets Chinese).
#include <string>

constexpr int IDS_ZH_BASE = 129;
constexpr int IDS_EN_BASE = 238;
constexpr int IDS_OWN_ZH_BASE = 2000;
constexpr int IDS_OWN_EN_BASE = 3000;
constexpr int TEXT_OWN_FIRST = 100;

// Indexes the tool asks for.
constexpr int TEXT_FILE_TYPE = 3;
constexpr int TEXT_UPGRADED = 4;
constexpr int TEXT_FW = 5;
constexpr int TEXT_TITLE = 6;
constexpr int TEXT_UPDATE_FAILURE = 7;
constexpr int TEXT_NOT_BOOT_MODE = 11;
constexpr int TEXT_USB_UPDATE = 12;
constexpr int TEXT_INSTRUCTIONS = 14;

// Texts of our own that the original table does not have: why an image was refused, and
// what the user can do about a controller. Their ids lie far from both original sets
// (Chinese 2000 + index, English 3000 + index) so those stay exactly as they were.
constexpr int TEXT_IMAGE_TOO_SHORT = 100;      // %u: file size
constexpr int TEXT_IMAGE_NO_PAYLOAD = 101;
constexpr int TEXT_IMAGE_TRUNCATED = 102;      // %u: announced size, %llu: bytes present
constexpr int TEXT_IMAGE_UNREADABLE = 103;
constexpr int TEXT_CONTROLLER_SILENT = 104;   // appended to text 7 when the controller stops answering
constexpr int TEXT_DEVICE_GONE = 105;          // appended to text 7 when the controller vanished
constexpr int TEXT_NO_PERMISSION = 106;        // %s: device path; %s: udev rule file name
constexpr int TEXT_CONTROLLER_REFUSED = 107;  // appended to text 7 when the controller rejects a command
constexpr int TEXT_CLOSE_REFUSED = 108;       // the window is asked to close while an update runs

// The string id that holds text `index` in the given language's set.
int LocalizedStringId(int index, bool chinese);

// The string-table lookup: the text under `id`, or nullptr when the table has none.
const char* FindStringResource(int id);

// The text `index` in the user's interface language, asked anew at every call; empty when
// the table has no text for it. UTF-8, line breaks as "\r\n" exactly as the table holds them.
std::string LoadLocalizedString(int index);
