#pragma once
// A TCP listener on 127.0.0.1 that serves every accepted connection on a thread of its own: the
// ground under the loopback servers of the tests, the benchmarks and the demo (the HTTPS double, the
// CONNECT proxy of the tests). Owned by its server. stop() (or the destructor) stops accepting, shuts
// down the sockets of every connection still open, so that the reads and polls in them return, and
// joins their threads.
//
// A connection's sockets are closed by the listener once its serve function has returned, under the
// listener's lock, so stop() never shuts down a number the system has since handed out again.
// SIGPIPE is blocked on the connection threads: a peer that hangs up mid-write ends the write, not
// the process.

#include <QString>

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

class LoopbackListener
{
public:
    class Connection
    {
    public:
        int fd() const { return m_fd; }
        // Another socket of this connection (a proxy's way on): shut down by stop() like the first,
        // closed with it when the serve function returns.
        void adopt(int fd);

    private:
        friend class LoopbackListener;
        LoopbackListener *m_owner = nullptr;
        int m_fd = -1;
        std::vector<int> m_fds; // every socket of the connection; guarded by the owner's lock
        std::thread m_thread;
        bool m_done = false;
    };
    using Serve = std::function<void(Connection &connection)>;

    explicit LoopbackListener(Serve serve);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    // Listens on 127.0.0.1 (port 0: any free port). False, with a text, when it cannot.
    bool start(quint16 port, QString *error);
    void stop();
    quint16 port() const { return m_port; }
    // Waits up to ms on a connection's thread; true as soon as the listener is stopping.
    bool waitOrStop(int ms);
    bool isStopping();

private:
    void acceptLoop();
    void reapFinished();

    Serve m_serve;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    quint16 m_port = 0;
    std::thread m_acceptThread;

    std::mutex m_mutex; // guards everything below, and the sockets of each connection
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::list<Connection> m_connections;
};
