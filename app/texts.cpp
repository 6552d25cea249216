#include "app/texts.h"

#include "app/ui_language.h"

namespace {

struct StringResource {
    int id;
    const char* text;
};

// The string table. Ids 129-145 hold the Chinese set, 238-254 the English one; only the
// indexes the tool asks for have text.
constexpr StringResource kStringTable[] = {
    {IDS_ZH_BASE + TEXT_FILE_TYPE, "文件类型中显示的内容"},
    {IDS_ZH_BASE + TEXT_UPGRADED, "升级成功。"},
    {IDS_ZH_BASE + TEXT_FW, "固件版本"},
    {IDS_ZH_BASE + TEXT_TITLE, "Korvant Update v2.00"},
    {IDS_ZH_BASE + TEXT_UPDATE_FAILURE, "固件更新失败"},
    {IDS_ZH_BASE + TEXT_NOT_BOOT_MODE, "固件更新失败,请将手柄工作在 BOOT 模式"},
    {IDS_ZH_BASE + TEXT_USB_UPDATE, "USB 升级"},
    {IDS_ZH_BASE + TEXT_INSTRUCTIONS,
     "1. 按住配对键并插入PC。\r\n\r\n2. 点击 USB 升级按钮，选择升级文件升级。"},

    {IDS_EN_BASE + TEXT_FILE_TYPE, "File type"},
    {IDS_EN_BASE + TEXT_UPGRADED, "Firmware upgraded!"},
    {IDS_EN_BASE + TEXT_FW, "Fw"},
    {IDS_EN_BASE + TEXT_TITLE, "Korvant Update v2.00"},
    {IDS_EN_BASE + TEXT_UPDATE_FAILURE, "Firmware update failure"},
    {IDS_EN_BASE + TEXT_NOT_BOOT_MODE, "Firmware update failure, please handle work in BOOT mode"},
    {IDS_EN_BASE + TEXT_USB_UPDATE, "USB Update"},
    {IDS_EN_BASE + TEXT_INSTRUCTIONS,
     "1. Hold down pair button and connect to PC via USB cable.\r\n\r\n"
     "2. Click \"USB Update\" button and select firmware file."},

    {IDS_OWN_ZH_BASE + TEXT_IMAGE_TOO_SHORT,
     "此文件太短，不是有效的固件文件：只有 %u 字节，固件文件至少需要 28 字节。未向手柄发送任何数据。"},
    {IDS_OWN_ZH_BASE + TEXT_IMAGE_NO_PAYLOAD,
     "此固件文件是空的：文件头中的固件数据长度为 0。未向手柄发送任何数据。"},
    {IDS_OWN_ZH_BASE + TEXT_IMAGE_TRUNCATED,
     "此固件文件不完整：文件头声明有 %u 字节固件数据，但文件中只有 %llu 字节。未向手柄发送任何数据。"},
    {IDS_OWN_ZH_BASE + TEXT_IMAGE_UNREADABLE, "无法读取固件文件。未向手柄发送任何数据。"},
    {IDS_OWN_ZH_BASE + TEXT_CONTROLLER_SILENT,
     "升级过程中手柄停止响应。请让手柄保持在 BOOT 模式，重新连接后再次升级。"},
    {IDS_OWN_ZH_BASE + TEXT_DEVICE_GONE,
     "升级过程中手柄已断开。请让手柄重新进入 BOOT 模式，连接后再次升级。"},
    {IDS_OWN_ZH_BASE + TEXT_NO_PERMISSION,
     "在 %s 找到了手柄，但当前用户无权打开它。请安装 udev 规则 %s（见 README），然后重新连接手柄。"},

    {IDS_OWN_ZH_BASE + TEXT_CONTROLLER_REFUSED,
     "手柄拒绝了固件数据。请确认固件文件适用于此手柄，让手柄保持在 BOOT 模式，重新连接后再次升级。"},
    {IDS_OWN_ZH_BASE + TEXT_CLOSE_REFUSED,
     "正在升级固件。现在关闭可能使手柄没有可用的固件；升级结束后即可关闭窗口。"},

    {IDS_OWN_EN_BASE + TEXT_IMAGE_TOO_SHORT,
     "This file is too short to be a firmware image: it has %u bytes, and a firmware image has "
     "at least 28. Nothing was sent to the controller."},
    {IDS_OWN_EN_BASE + TEXT_IMAGE_NO_PAYLOAD,
     "This firmware image is empty: its header announces no firmware data. Nothing was sent "
     "to the controller."},
    {IDS_OWN_EN_BASE + TEXT_IMAGE_TRUNCATED,
     "This firmware image is incomplete: its header announces %u bytes of firmware data, but "
     "the file holds only %llu. Nothing was sent to the controller."},
    {IDS_OWN_EN_BASE + TEXT_IMAGE_UNREADABLE,
     "The firmware file could not be read. Nothing was sent to the controller."},
    {IDS_OWN_EN_BASE + TEXT_CONTROLLER_SILENT,
     "The controller stopped answering during the update. Keep it in boot "
     "mode, reconnect it and update again."},
    {IDS_OWN_EN_BASE + TEXT_DEVICE_GONE,
     "The controller was disconnected during the update. Put it in boot mode again, reconnect "
     "it and update again."},
    {IDS_OWN_EN_BASE + TEXT_NO_PERMISSION,
     "A controller was found at %s, but this user may not open it. Install the udev rule %s "
     "(see the README) and reconnect the controller."},
    {IDS_OWN_EN_BASE + TEXT_CONTROLLER_REFUSED,
     "The controller rejected the firmware. Check that the file is meant for this controller, keep it "
     "in boot mode, reconnect it and update again."},
    {IDS_OWN_EN_BASE + TEXT_CLOSE_REFUSED,
     "An update is running. Closing now could leave the controller without working firmware; "
     "the window can be closed when the update has ended."},
};

} // namespace

int LocalizedStringId(int index, bool chinese)
{
    if (index >= TEXT_OWN_FIRST) return (chinese ? IDS_OWN_ZH_BASE : IDS_OWN_EN_BASE) + index;
    return (chinese ? IDS_ZH_BASE : IDS_EN_BASE) + index;
}

const char* FindStringResource(int id)
{
    for (const StringResource& s : kStringTable)
        if (s.id == id) return s.text;
    return nullptr;
}

std::string LoadLocalizedString(int index)
{
    std::string result;
    const bool chinese = GetUserDefaultUILanguage() == LANG_ZH_CN;
    if (const char* text = FindStringResource(LocalizedStringId(index, chinese))) result = text;
    return result;
}
