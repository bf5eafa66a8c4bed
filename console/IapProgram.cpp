#include "console/IapProgram.h"

#include "console/DemoImage.h"
#include "iap/IapTexts.h"

IapProgram::IapProgram(ConsoleHost& host, IapVariant variant)
    : m_host(host),
      m_job(host, variant)
{
}

const char* IapProgram::Program() const
{
    return m_host.Program();
}

sim::LoaderKind IapProgram::SimLoader() const
{
    return m_job.GetVariant() == VARIANT_TIRELL ? sim::LoaderKind::IapTirell : sim::LoaderKind::IapSolvane;
}

bool IapProgram::LoadImage(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    if (path.empty())
        bytes = MakeDemoImage(DEMO_IAP_IMAGE_LENGTH, 0x1A9);
    else if (!ReadToolImage(m_host, Program(), path, IAP_IMAGE_LIMIT, m_bCut, bytes))
        return false;
    m_image = bytes;
    if (m_job.LoadImage(bytes) != LOAD_OK) {
        m_host.Reporter().Failure(std::string(Program()) + ": " + path + " is empty: there is nothing to send");
        return false;
    }
    return true;
}

void IapProgram::DescribeJob(sim::SimOptions& options) const
{
    auto blocks = m_job.GetImageBlocks();
    options.expectedImage.assign(blocks.begin(), blocks.begin() + static_cast<long>(m_job.GetImageLength()));
    options.hasExpectedImage = true;
    if (m_job.GetVariant() == VARIANT_TIRELL) {
        // Tirell's own loader: it starts with the download command and, half-way,
        // asks the tool once to wait.
        options.startReply = sim::SIM_START_DOWNLOAD;
        options.waitBeforeBlocks = {m_job.GetTotalBlocks() / 2};
    }
}

bool IapProgram::Begin()
{
    m_job.SetPortOpen(true);
    m_host.SetStatusText(IAP_TEXT_PORT_OPENED);
    m_job.Initialise();
    m_host.Reporter().Status("Waiting for the device's loader to start the update...");
    return true;
}

void IapProgram::OnByte(std::uint8_t byte)
{
    m_job.ParseReplyByte(byte);
}

void IapProgram::OnEvent(const ToolEvent& event)
{
    if (event.kind != TOOL_EVENT_DATA_ERROR)
        return;
    // The job sends nothing more: the loader starts over with its start reply.
    m_host.Reporter().Status(std::string(Program()) + ": " + Position() + ": the device reported a data error (" +
                             IAP_REPLY_NAME_DATA_ERROR +
                             "); the update restarts from the first block when the loader starts again");
}

ProgressSample IapProgram::Progress() const
{
    ProgressSample s;
    const RunTally& tally = m_host.Tally();
    if (!tally.IsRunning())
        return s;
    s.phase = "sending";
    s.total = tally.Total();
    s.done = tally.Done();
    s.unitBytes = IAP_BLOCK_SIZE;
    s.unitName = "blocks";
    return s;
}

std::string IapProgram::Position() const
{
    const int total = m_job.GetTotalBlocks();
    if (!m_job.IsUpdating())
        return "the wait for the loader's start reply (no block sent yet)";
    if (m_job.GetPhase() == PHASE_STARTED)
        return std::string("the start of the update (waiting for ") + IAP_REPLY_NAME_RECEIVE + ")";
    const int block = total - m_job.GetBlocksLeft() + 1;
    std::string text = "block " + std::to_string(block) + " of " + std::to_string(total);
    if (m_job.GetStep() == STEP_WAIT)
        text += " (the loader asked to wait)";
    if (m_job.GetStep() == STEP_DATA_ERROR)
        text += std::string(" (answered ") + IAP_REPLY_NAME_DATA_ERROR + ")";
    return text;
}

RunFigures IapProgram::Figures() const
{
    RunFigures f;
    const RunTally& tally = m_host.Tally();
    f.total = m_job.GetTotalBlocks();
    if (tally.IsCompleted())
        f.done = f.total;  // the job has already made ready for the next update
    else if (tally.IsRunning())
        f.done = tally.Done();
    f.bytes = f.done * static_cast<long>(IAP_BLOCK_SIZE);
    return f;
}
