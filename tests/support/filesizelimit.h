#pragma once
// A real write failure on a real file: while it lives, no file of this process may grow past
// `bytes` (RLIMIT_FSIZE), so a write beyond fails with "File too large" as on a full disk, part of
// it written first. SIGXFSZ, whose default would end the process, is ignored meanwhile.

#include <csignal>
#include <sys/resource.h>

class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_saved{};
    void (*m_handler)(int) = SIG_DFL;
};
