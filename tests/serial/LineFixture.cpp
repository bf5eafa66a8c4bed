// The platform-free parts of the engine test fixture.
#include "LineFixture.h"

#include "platform/Diagnostics.h"

std::vector<OwnerMessage> TestOwner::Messages() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_messages;
}

std::string TestOwner::BytesOf(unsigned message) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::string bytes;
    for (const OwnerMessage& m : m_messages) {
        if (m.message == message)
            bytes.push_back(static_cast<char>(m.wParam));
    }
    return bytes;
}

std::size_t TestOwner::CountOf(unsigned message) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::size_t count = 0;
    for (const OwnerMessage& m : m_messages)
        count += m.message == message;
    return count;
}

void TestOwner::SetHook(std::function<void(const OwnerMessage&)> hook)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_hook = std::move(hook);
}

void TestOwner::Record(const OwnerMessage& message)
{
    std::function<void(const OwnerMessage&)> hook;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_messages.push_back(message);
        hook = m_hook;
    }
    if (hook)
        hook(message);  // without the lock: the hook may read the records
}

ErrorBoxRecorder::ErrorBoxRecorder()
{
    SetErrorBoxHook([this](const char* text, const char* caption) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_texts.emplace_back(text);
        m_captions.emplace_back(caption);
    });
}

ErrorBoxRecorder::~ErrorBoxRecorder()
{
    SetErrorBoxHook(nullptr);
}

std::size_t ErrorBoxRecorder::Count() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts.size();
}

std::vector<std::string> ErrorBoxRecorder::Texts() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts;
}

std::vector<std::string> ErrorBoxRecorder::Captions() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_captions;
}
