#include "comm-serd/TakServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include "comm-serd/TakLockGuard.h"

TakServiceNotifier& TakServiceNotifier::instance() {
    static TakServiceNotifier notifier([](const std::string& state) {
        // 0 without a service manager, negative on failure: neither stops the daemon.
        (void)sd_notify(0, state.c_str());
    });
    return notifier;
}

TakServiceNotifier::TakServiceNotifier(Sender send) : m_send(std::move(send)) {}

void TakServiceNotifier::agentListenerOpen(int port) {
    TakLockGuard lock(m_mutex);
    m_agentPort = port;
    sendReadyIfBothOpen();
}

void TakServiceNotifier::consoleListenerOpen(int port) {
    TakLockGuard lock(m_mutex);
    m_consolePort = port;
    sendReadyIfBothOpen();
}

void TakServiceNotifier::sendReadyIfBothOpen() {
    if (m_ready || m_stopping || m_agentPort == 0 || m_consolePort == 0) return;
    m_ready = true;
    m_send("READY=1\nSTATUS=agents on port " + std::to_string(m_agentPort) + ", console on port " +
           std::to_string(m_consolePort));
}

void TakServiceNotifier::status(const std::string& text) {
    TakLockGuard lock(m_mutex);
    if (m_stopping) return;
    m_send("STATUS=" + text);
}

void TakServiceNotifier::stopping() {
    TakLockGuard lock(m_mutex);
    if (m_stopping) return;
    m_stopping = true;
    m_send("STOPPING=1\nSTATUS=stopping");
}

bool TakServiceNotifier::ready() {
    TakLockGuard lock(m_mutex);
    return m_ready;
}
