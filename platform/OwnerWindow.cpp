// The hand-over mark of the owner's thread (OwnerWindow.h).
#include "platform/OwnerWindow.h"

namespace {

// The sender of the innermost hand-over that this thread is running (none: default id).
thread_local std::thread::id t_sender{};

}  // namespace

HandOverMark::HandOverMark(std::thread::id sender)
    : m_previous(t_sender)
{
    t_sender = sender;
}

HandOverMark::~HandOverMark()
{
    t_sender = m_previous;
}

bool HandOverMark::IsServing(std::thread::id sender)
{
    return sender != std::thread::id() && t_sender == sender;
}
