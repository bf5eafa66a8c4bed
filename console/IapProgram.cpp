#include "console/IapProgram.h"

#include "console/DemoImage.h"
#include "iap/IapTexts.h"

IapProgram::IapProgram(ConsoleHost& host, IapVariant variant) : m_host(host), m_job(host, variant) {}

sim::LoaderKind IapProgram::SimLoader() const
{
    return m_job.GetVariant() == VARIANT_TIRELL ? sim::LoaderKind::IapTirell : sim::LoaderKind::IapSolvane;
}

bool IapProgram::LoadImage(const std::string& path)
{
    if (path.empty()) {
        std::vector<std::uint8_t> demo = MakeDemoImage(DEMO_IAP_IMAGE_LENGTH, 0x1A9);
        return m_job.LoadImage(demo) == LOAD_OK;
    }
    // The job reads the file itself (raw bytes, the first 14,336) and names the
    // failure; here that text is a failure of the run.
    ConsoleHost::FailureScope failures(m_host);
    return m_job.LoadImageFile(path) == LOAD_OK;
}

void IapProgram::DescribeJob(sim::SimOptions& options) const
{
    auto blocks = m_job.GetImageBlocks();
    options.expectedImage.assign(blocks.begin(), blocks.begin() + static_cast<long>(m_job.GetImageLength()));
    options.hasExpectedImage = true;
    if (m_job.GetVariant() == VARIANT_TIRELL) {
        // Tirell's own loader: it starts with the download command and, half-way,
        // asks the tool once to wait.
        options.startReply = "UPDF";
        options.waitBeforeBlocks = {m_job.GetTotalBlocks() / 2};
    }
}

bool IapProgram::Begin(bool portOpened)
{
    m_job.SetPortOpen(portOpened);
    if (!portOpened) {
        m_host.SetStatusText(IAP_TEXT_PORT_FAILED);
        m_host.Reporter().Failure(IAP_TEXT_PORT_NOT_FOUND);
        return false;
    }
    m_host.SetStatusText(IAP_TEXT_PORT_OPENED);
    m_job.Initialise();
    m_host.Reporter().Status("Waiting for the device's loader to start the update...");
    return true;
}

ProgressSample IapProgram::Progress() const
{
    ProgressSample s;
    if (!m_job.IsUpdating())
        return s;
    s.phase = "sending";
    s.total = m_job.GetTotalBlocks();
    s.done = m_job.GetTotalBlocks() - m_job.GetBlocksLeft();
    s.unitBytes = IAP_BLOCK_SIZE;
    s.unitName = "blocks";
    return s;
}
