#pragma once

#include <functional>
#include <string>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// Tells the service manager how the daemon is doing (systemd's notification protocol, through
// sd_notify): "READY=1" once both listeners are open, the agents' and the console's, in either
// order and once only; "STOPPING=1" when the orderly stop begins, after which no "READY=1"
// follows; and a one-line "STATUS=" for `systemctl status`. Outside a service manager
// (NOTIFY_SOCKET unset) nothing is sent. Any thread; the calls are serialised by one leaf mutex
// (no other lock is taken under it).
class TakServiceNotifier {
public:
    // Receives one notification ("READY=1\nSTATUS=...").
    using Sender = std::function<void(const std::string& state)>;

    // The daemon's notifier, sending through sd_notify.
    static TakServiceNotifier& instance();

    explicit TakServiceNotifier(Sender send);
    TakServiceNotifier(const TakServiceNotifier&) = delete;
    TakServiceNotifier& operator=(const TakServiceNotifier&) = delete;

    // The agent listener accepts connections on port.
    void agentListenerOpen(int port);
    // The console's RPC listener accepts connections on port.
    void consoleListenerOpen(int port);
    // A line for the service's status while something is wrong or pending.
    void status(const std::string& text);
    // The orderly stop has begun.
    void stopping();

    bool ready();

private:
    void sendReadyIfBothOpen() TAK_REQUIRES(m_mutex);

    Sender m_send;
    TakMutex m_mutex;
    int m_agentPort TAK_GUARDED_BY(m_mutex) = 0;    // 0 until the listener is open
    int m_consolePort TAK_GUARDED_BY(m_mutex) = 0;  // 0 until the listener is open
    bool m_ready TAK_GUARDED_BY(m_mutex) = false;
    bool m_stopping TAK_GUARDED_BY(m_mutex) = false;
};
