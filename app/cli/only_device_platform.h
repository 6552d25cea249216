#pragma once
// Narrows a HID platform to one device path: with --device the dialog model's own search
// then finds exactly the controller the user named, by the same rules as always.
#include "hid/hid_platform.h"

#include <string>

class OnlyDevicePlatform final : public IHidPlatform {
public:
    OnlyDevicePlatform(IHidPlatform& inner, std::string path) : m_inner(inner), m_path(std::move(path)) {}

    std::vector<HidInterfaceInfo> EnumerateInterfaces() override
    {
        std::vector<HidInterfaceInfo> out;
        for (HidInterfaceInfo& info : m_inner.EnumerateInterfaces())
            if (info.path == m_path) out.push_back(std::move(info));
        return out;
    }
    HidOpenResult OpenInterface(const std::string& path, HidAccess access) override
    {
        return m_inner.OpenInterface(path, access);
    }
    std::unique_ptr<IDeviceWatch> WatchDevices(std::function<void(DeviceNotice)> on_notice) override
    {
        return m_inner.WatchDevices(std::move(on_notice));
    }

private:
    IHidPlatform& m_inner;
    std::string m_path;
};
