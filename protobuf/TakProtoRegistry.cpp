#include "TakProtoRegistry.h"

#include "Tak.AccessControl.pb.h"
#include "Tak.Base.pb.h"
#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.DevControl.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.Measure.pb.h"
#include "Tak.NetControl.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "Tak.Reinforce.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemConfig.pb.h"
#include "Tak.SystemLog.pb.h"
#include "Tak.SystemProtect.pb.h"
#include "Tak.VulnerScan.pb.h"

const std::vector<std::string>& takProtoFileNames() {
    static const std::vector<std::string> names = {
        "Tak.ComDefine.proto",     "Tak.Business.proto",     "Tak.Base.proto",
        "Tak.EncAndDec.proto",     "Tak.HostInfo.proto",     "Tak.PolicyNotify.proto",
        "Tak.Reinforce.proto",     "Tak.Measure.proto",      "Tak.AccessControl.proto",
        "Tak.SystemProtect.proto", "Tak.SecureLog.proto",    "Tak.SystemLog.proto",
        "Tak.NetControl.proto",    "Tak.SystemConfig.proto", "Tak.DevControl.proto",
        "Tak.VulnerScan.proto",
    };
    return names;
}

void takRegisterProtoDescriptors() {
    // One descriptor of each file: referring to it pulls the file's object into the link, and
    // asking for it builds the file's descriptors in the generated pool.
    static const bool registered = [] {
        const google::protobuf::FileDescriptor* files[] = {
            Tak::ComDefine::ECmdType_descriptor()->file(),
            Tak::Business::MessageData::descriptor()->file(),
            Tak::Base::MsgError::descriptor()->file(),
            Tak::EncAndDec::PubKeyInfo::descriptor()->file(),
            Tak::HostInfo::ResourceInfoAsr::descriptor()->file(),
            Tak::PolicyNotify::DeviceInfoUp::descriptor()->file(),
            Tak::Reinforce::SecswitchInfo::descriptor()->file(),
            Tak::Measure::StaticCurPathReq::descriptor()->file(),
            Tak::AccessControl::LookUserAsr::descriptor()->file(),
            Tak::SystemProtect::ContentCountReq::descriptor()->file(),
            Tak::SecureLog::AuditContentAsr::descriptor()->file(),
            Tak::SystemLog::SystemLogContentAsr::descriptor()->file(),
            Tak::NetControl::NetRuleInfo::descriptor()->file(),
            Tak::SystemConfig::SystemServerInfo::descriptor()->file(),
            Tak::DevControl::DevUsbInfo::descriptor()->file(),
            Tak::VulnerScan::VulnerReportInfo::descriptor()->file(),
        };
        bool all = true;
        for (const google::protobuf::FileDescriptor* file : files) all = all && file != nullptr;
        return all;
    }();
    (void)registered;
}
