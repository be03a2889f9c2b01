// The console's service: push pending policies, read a host's live figures, approve or revoke a
// host.
namespace cpp tak.rpc.notify

enum ERpcReturnValue {
    rpcRet_succeed = 0,
    rpcRet_authFailed = 1,
    rpcRet_cancelAuthFailed = 2
}

struct STHostInfo {
    1: required double fCpuUse,
    2: required double fMemoryUse,
    3: required double fDiskUse
}

service notifyService {
    void notifyPolicy(),
    STHostInfo getDeviceHostInfo(1: string mac),
    ERpcReturnValue authDevice(1: string mac, 2: bool auth)
}
