#pragma once

#include <csignal>
#include <ctime>

#include <pthread.h>

// Writing to a socket the server closed raises SIGPIPE, whose default action ends the process.
// The signal is blocked in this thread for the duration of the call and a pending one is
// consumed before unblocking, so other threads and the process's own handlers are unaffected.
class SigpipeBlock
{
  public:
    SigpipeBlock()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &m_previous);
        // While unblocked, a SIGPIPE of this thread cannot have been pending.
        m_blocked = sigismember(&m_previous, SIGPIPE) != 1;
    }
    ~SigpipeBlock()
    {
        if (!m_blocked)
            return;
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            sigtimedwait(&pipe, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

  private:
    sigset_t m_previous;
    bool m_blocked = false;
};
