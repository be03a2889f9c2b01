#pragma once

class ITakTcpServerManager {
public:
    // Opens the listener: 0 on success, otherwise the negative error of the listen.
    virtual int init() = 0;
    // Starts the network loops and blocks until stopServe() is called.
    virtual void startServe() = 0;
    // Stops accepting and closes every connection; makes startServe() return.
    virtual void stopServe() = 0;

protected:
    ~ITakTcpServerManager() = default;
};
