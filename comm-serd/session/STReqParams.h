#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Tak.ComDefine.pb.h"

// A request the server sends to an agent, with the callback that receives the answer's
// commandData (empty when the answer has none).
struct STReqParams {
    std::string payload;
    Tak::ComDefine::ECmdType command = Tak::ComDefine::policy_min;
    Tak::ComDefine::EModuleType module = Tak::ComDefine::Module_unkonw;
    std::shared_ptr<std::function<void(std::string)>> callback;
};
