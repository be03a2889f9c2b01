#pragma once

#include <string>
#include <utility>

// The outcome of a database call: ok, or what went wrong and the text that says why (the
// client's or the server's error message, or ours).
//
//   TakStatus status = conn->connect(settings);
//   if (!status.ok()) ... status.code() ... status.toString();
//
// The class is [[nodiscard]]: a call that returns one is handled or explicitly set aside
// (ignoreError()).
// Failures are logged where they happen (the connection, the statement); a status tells the
// caller what happened, it does not log again.
class [[nodiscard]] TakStatus {
public:
    enum class ECode {
        Ok,
        // No connection to the server: it is down, or the connection was lost during the call
        // (inside a worker task, the task is run again once the server is back).
        NotConnected,
        // The server said no: it refused the connection (unreachable, wrong account), or the
        // statement (an error of the server's: a bad statement, a duplicate key, data too large).
        Refused,
        // The call did not finish within its time limit (it has still ended when it returns).
        TimedOut,
        // Anything else: a client handle that could not be set up, a character set the client
        // does not know, a statement that was never prepared.
        Failed,
    };

    // Ok.
    TakStatus() = default;

    static TakStatus success() { return TakStatus(); }
    static TakStatus notConnected(std::string message) {
        return TakStatus(ECode::NotConnected, std::move(message));
    }
    static TakStatus refused(std::string message) {
        return TakStatus(ECode::Refused, std::move(message));
    }
    static TakStatus timedOut(std::string message) {
        return TakStatus(ECode::TimedOut, std::move(message));
    }
    static TakStatus failed(std::string message) {
        return TakStatus(ECode::Failed, std::move(message));
    }

    bool ok() const { return m_code == ECode::Ok; }
    ECode code() const { return m_code; }
    // Why it failed; empty when ok.
    const std::string& message() const { return m_message; }
    // "OK", or the code's name, ": " and the message ("Refused: Duplicate entry 'x' ...").
    std::string toString() const;

    static const char* codeName(ECode code);

    bool operator==(const TakStatus& other) const = default;

    // Sets the status aside on purpose: the failure was logged where it happened and the caller
    // has nothing more to do about it (say why beside the call).
    void ignoreError() const {}

private:
    TakStatus(ECode code, std::string message) : m_code(code), m_message(std::move(message)) {}

    ECode m_code = ECode::Ok;
    std::string m_message;
};
