#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Tak.Business.pb.h"

// Where a session core's results go: the bytes for the peer, a close, and the envelopes it does
// not handle itself. The daemon's implementation is the socket session; tests and the fuzz
// target record what they get. Called on the core's owner thread only.
class ITakSessionOutput {
public:
    using AnswerCallback = std::shared_ptr<std::function<void(std::string)>>;

    // One complete frame for the peer, in order.
    virtual void sendFrame(std::string frame) = 0;
    // The connection must be closed (nothing more is sent).
    virtual void closeConnection() = 0;
    // A request or error report that answers none of the server's own requests; handle it
    // off the owner thread, in arrival order.
    virtual void dispatch(std::shared_ptr<Tak::Business::MessageData> message) = 0;
    // The answer to one of the server's own requests: run callback with the answer's
    // commandData, off the owner thread.
    virtual void answer(AnswerCallback callback, std::string commandData) = 0;

protected:
    ~ITakSessionOutput() = default;
};
