// A copy of the parts of sysfs that the port listing reads, in a folder of its own
// (the SUITE_SYSTEM_ROOT of a test): sys/class/tty, sys/devices and dev/.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

class SysfsTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = std::filesystem::temp_directory_path() /
                 ("port-list-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root / "dev");
        m_root = std::filesystem::canonical(m_root);
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    void Write(const std::filesystem::path& path, const std::string& text)
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }

    // A tty whose device lies at `devicePath` (relative to sys/devices), with a driver.
    void Tty(const std::string& name, const std::string& devicePath, const std::string& driver)
    {
        namespace fs = std::filesystem;
        const fs::path classDir = m_root / "sys/class/tty" / name;
        fs::create_directories(classDir);
        const fs::path device = m_root / "sys/devices" / devicePath;
        fs::create_directories(device);
        fs::create_directory_symlink(fs::relative(device, classDir), classDir / "device");
        if (!driver.empty()) {
            fs::create_directories(m_root / "sys/bus/drivers" / driver);
            fs::create_directory_symlink(fs::relative(m_root / "sys/bus/drivers" / driver, device), device / "driver");
        }
    }

    // A USB device at `usbDevice` (relative to sys/devices) with its ids and, if not
    // empty, its serial number.
    void UsbDevice(const std::string& usbDevice, const std::string& vendorId, const std::string& productId,
                   const std::string& serial)
    {
        const std::filesystem::path dir = m_root / "sys/devices" / usbDevice;
        Write(dir / "idVendor", vendorId);
        Write(dir / "idProduct", productId);
        if (!serial.empty())
            Write(dir / "serial", serial);
    }

    // The device node of a tty, as the listing names it.
    std::string Dev(const std::string& name) const { return (m_root / "dev" / name).string(); }
    void MakeNode(const std::string& name) { std::ofstream(m_root / "dev" / name) << ""; }

    std::filesystem::path m_root;
};
