// Console wiring of the in-application-programming updater, shared by Solvane and
// Tirell (the variant chooses the replies and the completion text). The device leads:
// after the port is open the program only waits for the loader's start reply.
#pragma once

#include "console/ToolRunner.h"
#include "iap/IapLine.h"
#include "iap/UpdateJob.h"

class IapProgram : public ConsoleProgram {
public:
    IapProgram(ConsoleHost& host, IapVariant variant);

    ToolLine Line() const override { return IAP_LINE; }
    sim::LoaderKind SimLoader() const override;
    void Configure(const CommandLine& cl) override { m_bCut = cl.cut; }
    bool LoadImage(const std::string& path) override;
    void DescribeJob(sim::SimOptions& options) const override;
    std::vector<std::uint8_t> ImageBytes() const override { return m_image; }
    // The start reply, the receive reply and one acknowledgement a block.
    long ReplyCount() const override { return 2 + m_job.GetTotalBlocks(); }
    bool Begin() override;

    void OnByte(std::uint8_t byte) override;
    void OnTimer(unsigned id) override { m_job.OnTimerTick(id); }
    void OnEvent(const ToolEvent& event) override;
    ProgressSample Progress() const override;
    const char* SuccessText() const override { return m_job.GetCompletionText(); }
    std::string Position() const override;
    RunFigures Figures() const override;

private:
    const char* Program() const;

    ConsoleHost& m_host;
    UpdateJob m_job;
    bool m_bCut = false;
    std::vector<std::uint8_t> m_image;  // the image as read
};
