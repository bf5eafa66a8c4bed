// Helpers shared by the updater's tests: an UpdateJob wired to a RecordingHost, and
// data frames built independently of the code under test.
#pragma once

#include "common/RecordingHost.h"
#include "iap/UpdateJob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

// The data frame of `block` as the device expects it, computed the long way: bytes past
// the image's end are 0xFF, even offsets weigh 256 in the sum, odd ones 1.
inline std::string ExpectedDataFrame(const std::vector<std::uint8_t>& image, int block)
{
    std::string frame = "*";
    unsigned long sum = 0;
    for (int j = 0; j < 128; ++j) {
        const std::size_t at = static_cast<std::size_t>(block) * 128 + j;
        const unsigned b = at < image.size() ? image[at] : 0xFF;
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", b);
        frame += digits;
        sum += (j % 2 == 0) ? 256 * b : b;
    }
    char check[5];
    std::snprintf(check, sizeof check, "%04lX", sum % 65536);
    frame += check;
    frame += '#';
    return frame;
}

// Bytes with a recognisable pattern, so that a frame of the wrong block shows.
inline std::vector<std::uint8_t> PatternImage(std::size_t length, unsigned seed = 7)
{
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i)
        image[i] = static_cast<std::uint8_t>((i * seed + i / 256) & 0xFF);
    return image;
}

// A file in the test's temporary folder, removed again at the end of the test.
class TempFile {
public:
    TempFile(const std::string& name, std::string_view content)
        : m_path(std::filesystem::path(::testing::TempDir()) / ("iap_test_" + name))
    {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    TempFile(const std::string& name, const std::vector<std::uint8_t>& content)
        : TempFile(name, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()))
    {
    }
    ~TempFile()
    {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string Path() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

// An UpdateJob started as a front end starts it, with the port open.
class JobTest : public ::testing::Test {
protected:
    explicit JobTest(IapVariant variant = VARIANT_SOLVANE)
        : job(host, variant)
    {
        job.Initialise();
        job.SetPortOpen(true);
    }

    void Feed(std::string_view bytes)
    {
        for (char c : bytes)
            job.ParseReplyByte(static_cast<std::uint8_t>(c));
    }
    // A tick of a timer that must be running, as the window system delivers it.
    void Tick(unsigned id)
    {
        ASSERT_TRUE(host.TimerRunning(id)) << "tick of stopped timer " << id;
        job.OnTimerTick(id);
    }
    // One round of the fast timers: the sender, then the progress bar.
    void SendTick()
    {
        Tick(TIMER_SEND);
        Tick(TIMER_PROGRESS);
    }
    void Load(const std::vector<std::uint8_t>& image) { ASSERT_EQ(job.LoadImage(image), LOAD_OK); }
    // Start reply, command frame, length frame and "+RECV-", leaving block 0 sent.
    void StartTransfer(std::string_view startReply = "+IAPC-")
    {
        Feed(startReply);
        SendTick();
        Tick(TIMER_LENGTH_FRAME);
        Feed("+RECV-");
        SendTick();
    }

    RecordingHost host;
    UpdateJob job;
};
