// Writes the seed corpora of the fuzz targets from real messages, made with the daemon's own
// message classes and the generated Thrift client:
//   tak-fuzz-seeds DIR      writes DIR/<target>/<seed> (DIR is fuzz/corpus in the tree)
// Key answers are SM2 ciphertexts, which differ from one run to the next; the other seeds do
// not change.

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Tak.Base.pb.h"
#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "comm-serd/protocol/TakKeyExchange.h"
#include "comm-serd/protocol/TakSm2Key.h"
#include "fuzz/TakFuzzInputs.h"
#include "notifyService.h"

namespace {

namespace ComDefine = Tak::ComDefine;
namespace PolicyNotify = Tak::PolicyNotify;
namespace fs = std::filesystem;
using TakFuzzInputs::appendOp;

bool g_failed = false;

void write(const fs::path& dir, const std::string& target, const std::string& name,
           const std::string& bytes) {
    fs::create_directories(dir / target);
    std::ofstream out(dir / target / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
        g_failed = true;
    }
}

std::string envelope(const std::string& toService, const std::string& businessdata) {
    Tak::Business::MessageData message;
    message.set_strfromuserid("takNetDevice");
    message.set_strtosessionid(toService);
    message.set_nseqid(1);
    message.set_ndatatype(ComDefine::PackDataReq);
    message.set_ncreate_time(1700000000000000ull);
    message.set_bybusinessdata(businessdata);
    return message.SerializeAsString();
}

std::string businessdata(ComDefine::EModuleType module, ComDefine::ECmdType command,
                         const std::string& data) {
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(module);
    bs.mutable_moduledata()->set_ncommandid(command);
    bs.mutable_moduledata()->set_commanddata(data);
    return bs.SerializeAsString();
}

// ---- key answers ----------------------------------------------------------------------------

void keyAnswerSeeds(const fs::path& dir) {
    const std::string target = "fuzz_key_answer";
    TakSm2Key key =
        TakSm2Key::fromPrivateKeyInfo(TakFuzzInputs::fromHex(TakFuzzInputs::kEphemeralKeyInfoHex));
    TakSm2Key::Point point{};
    if (key.empty() || !key.publicPoint(point)) {
        std::fprintf(stderr, "the fixed ephemeral key does not load\n");
        g_failed = true;
        return;
    }
    const std::string pubKey(reinterpret_cast<const char*>(point.data()), point.size());

    // The agent's answer, as its own code makes it.
    TakKeyExchange::KeyMaterial material{};
    for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<unsigned char>(i * 7);
    std::string answer;
    if (!TakKeyExchange::buildAnswerBusinessdata(pubKey, material, answer)) {
        g_failed = true;
        return;
    }
    write(dir, target, "answer", std::string(1, '\0') + envelope("takNetDevice", answer));

    // Answers carrying other lengths of key material.
    for (size_t length : {0, 16, 31, 33, 64}) {
        std::string cipher;
        if (!TakSm2Key::encryptTo(point.data(), std::string(length, 'k'), cipher)) continue;
        Tak::EncAndDec::EncMsgData message;
        message.set_bymsg(cipher);
        write(dir, target, "answer-" + std::to_string(length) + "-bytes",
              std::string(1, '\0') +
                  envelope("takNetDevice",
                           businessdata(ComDefine::Module_Base, ComDefine::base_cmsKeyUp,
                                        message.SerializeAsString())));
    }
    // Other commands before the exchange.
    write(dir, target, "offer-echoed",
          std::string(1, '\0') +
              envelope("takNetDevice", TakKeyExchange::buildOfferBusinessdata(pubKey, pubKey)));
    write(dir, target, "request-before-answer",
          std::string(1, '\0') +
              envelope("takNetDevice",
                       businessdata(ComDefine::Module_Policy, ComDefine::policy_deviceInfoUp, "")));
    // Made by the target itself: flags, then the key material.
    write(dir, target, "made-32-bytes", std::string("\x01\x00", 2) + std::string(32, 'm'));
    write(dir, target, "made-8-bytes", std::string("\x01\x00", 2) + std::string(8, 'm'));
    write(dir, target, "made-other-command", std::string("\x01\x02", 2) + std::string(32, 'm'));
}

// ---- business payloads ----------------------------------------------------------------------

std::string deviceInfo(const std::string& mac, const std::string& host = "host-1") {
    PolicyNotify::DeviceInfoUp info;
    info.set_strmacaddr(mac);
    info.set_strlocalipaddr("192.168.1.20");
    info.set_strnetipaddr("10.0.0.20");
    info.set_strhostname(host);
    info.set_strsystemversion("Linux 6.1");
    info.set_nonlinestate(1);
    info.set_nauthstate(1);
    info.set_strgroupname("default");
    return info.SerializeAsString();
}

std::string secLog(int records) {
    Tak::SecureLog::AuditContentAsr content;
    for (int i = 0; i < records; ++i) {
        auto* record = content.add_arrauditcontent();
        record->set_nprocessed(0);
        record->set_ntype(3 + i);
        record->set_struser("root");
        record->set_nresult(i % 2);
        record->set_ntime(1700000000 + i);
        record->set_nop(1);
        record->set_strsummary("login");
        record->set_strdesc("user root logged in from tty" + std::to_string(i));
        record->set_nsubtype(2);
    }
    return content.SerializeAsString();
}

std::string systemLog(const std::vector<std::vector<std::string>>& lines) {
    Tak::SystemLog::SystemLogContentAsr content;
    for (const auto& line : lines) {
        auto* out = content.add_logcontent();
        for (const auto& item : line) out->add_stritem(item);
    }
    return content.SerializeAsString();
}

std::string upload(PolicyNotify::EAuditUpType type, const std::string& mac,
                   const std::string& logdata) {
    PolicyNotify::AuditContentUpReq request;
    request.set_ntype(type);
    request.set_bylogdata(logdata);
    request.set_strmac(mac);
    return request.SerializeAsString();
}

std::string reset(PolicyNotify::EAuditUpType type, const std::string& mac) {
    PolicyNotify::AuditLogResetReq request;
    request.set_ntype(type);
    request.set_strmac(mac);
    return request.SerializeAsString();
}

std::string policyError(uint32_t id, const std::string& text) {
    Tak::Base::MsgError error;
    error.set_errcode(1);
    error.set_nid(id);
    error.set_errmsg(text);
    return error.SerializeAsString();
}

std::string hostAnswer(uint32_t cpu, uint64_t totalMem, uint64_t freeMem, uint64_t totalDisk,
                       uint64_t freeDisk) {
    Tak::HostInfo::ResourceInfoAsr answer;
    answer.set_ncpurate(cpu);
    answer.set_ntotalmem(totalMem);
    answer.set_nfreemem(freeMem);
    answer.set_ntotaldisk(totalDisk);
    answer.set_nfreedisk(freeDisk);
    return answer.SerializeAsString();
}

void businessSeeds(const fs::path& dir) {
    using namespace TakFuzzInputs;
    using namespace std::string_literals;
    const std::string target = "fuzz_business";
    const std::string mac = "aa:bb:cc:00:00:01";
    const std::vector<std::vector<std::string>> lines = {
        {"1700000001", "a1", "b1", "c1", "d1"},
        {"-42", "a2", "b2", "c2", "d2"},
        {"9223372036854775807", "a3", "b'3", "c\\3", "d3"},
        {"12x", "bad", "bad", "bad", "bad"},
        {"9223372036854775808", "bad", "bad", "bad", "bad"},
        {"", "bad", "bad", "bad", "bad"},
        {" 5", "bad", "bad", "bad", "bad"},
        {"7", "short", "short"},
        {},
        {"+8", "a9", "b9", "c9", "d9", "surplus"},
    };

    std::string session;
    appendOp(session, kDeviceInfo, deviceInfo(mac));
    appendOp(session, kAuditUpload, upload(PolicyNotify::auditUpType_secLog, mac, secLog(3)));
    appendOp(session, kAuditUpload,
             upload(PolicyNotify::auditUpType_kernelInfo, mac, systemLog(lines)));
    appendOp(session, kAuditReset, reset(PolicyNotify::auditUpType_switchInfo, mac));
    appendOp(session, kPolicyError, policyError(12, "policy file missing"));
    appendOp(session, kHostAnswer,
             hostAnswer(17, 8ull << 30, 2ull << 30, 500ull << 30, 1ull << 30));
    appendOp(session, kCloseSession, "");
    appendOp(session, kDeviceInfo, deviceInfo("aa:bb:cc:00:00:02"));
    appendOp(session, kAuditUpload,
             upload(PolicyNotify::auditUpType_appInfo, mac, systemLog({{"1", "after close"}})));
    appendOp(session, kPolicyError, policyError(13, "after close"));
    write(dir, target, "session", session);

    std::string foreign;
    appendOp(foreign, kAuditUpload,
             upload(PolicyNotify::auditUpType_kernelInfo, mac, systemLog({{"1", "a"}})));
    appendOp(foreign, kAuditReset, reset(PolicyNotify::auditUpType_kernelInfo, mac));
    appendOp(foreign, kDeviceInfo, deviceInfo("aa:bb:cc:00:00:09"));
    appendOp(foreign, kAuditReset, reset(PolicyNotify::auditUpType_kernelInfo, mac));
    write(dir, target, "foreign-mac", foreign);

    std::string noTable;
    appendOp(noTable, kDeviceInfo, deviceInfo(mac));
    appendOp(noTable, kAuditUpload,
             upload(PolicyNotify::auditUpType_count, mac, systemLog({{"1", "a"}})));
    appendOp(noTable, kAuditUpload, upload(PolicyNotify::auditUpType_unkonw, mac, secLog(1)));
    appendOp(noTable, kAuditReset, reset(PolicyNotify::auditUpType_count, mac));
    appendOp(noTable, kAuditUpload, upload(PolicyNotify::auditUpType_kernelInfo, mac, ""));
    appendOp(noTable, kAuditUpload,
             upload(PolicyNotify::auditUpType_kernelInfo, mac, systemLog({{}, {"1", "a"}})));
    appendOp(noTable, kAuditUpload,
             upload(PolicyNotify::auditUpType_kernelInfo, mac, std::string("\xff\xff\xff", 3)));
    write(dir, target, "cannot-store", noTable);

    std::string quotes;
    const std::string odd = "aa'; delete from asset_auth_record; -- \\\0\x1a\""s;
    appendOp(quotes, kDeviceInfo, deviceInfo(odd, "host'\\"));
    appendOp(quotes, kAuditReset, reset(PolicyNotify::auditUpType_emerg, odd));
    appendOp(
        quotes, kAuditUpload,
        upload(PolicyNotify::auditUpType_emerg, odd, systemLog({{"0", "it's", "back\\slash"}})));
    write(dir, target, "quotes", quotes);

    std::string any;
    appendOp(
        any, kBusinessdata,
        businessdata(ComDefine::Module_Policy, ComDefine::policy_deviceInfoUp, deviceInfo(mac)));
    appendOp(any, kBusinessdata,
             businessdata(ComDefine::Module_Policy, ComDefine::policy_auditUp,
                          upload(PolicyNotify::auditUpType_secLog, mac, secLog(2))));
    appendOp(any, kBusinessdata,
             businessdata(ComDefine::Module_HostInfo, ComDefine::hostInfo_getSystemRes, ""));
    appendOp(any, kBusinessdata,
             businessdata(ComDefine::Module_Policy, ComDefine::policy_lastUploadRecord, ""));
    write(dir, target, "any-command", any);

    std::string answers;
    appendOp(answers, kHostAnswer, hostAnswer(0, 0, 0, 0, 0));
    appendOp(answers, kHostAnswer, hostAnswer(100, 1, 2, 0, 5));
    appendOp(answers, kHostAnswer,
             hostAnswer(17, 8ull << 30, 2ull << 30, 500ull << 30, 0).substr(0, 5));
    appendOp(answers, kPolicyError, "");
    appendOp(answers, kPolicyError, policyError(0xffffffffu, std::string("nul\0byte", 8)));
    write(dir, target, "answers-and-errors", answers);
}

// ---- configuration files --------------------------------------------------------------------

void configSeeds(const fs::path& dir) {
    const std::string target = "fuzz_config";
    write(dir, target, "every-key",
          "[IPInfo]\nIP = 127.0.0.1\nPORT = 7300\n"
          "[Database]\nHost = 127.0.0.1\nPort = 3306\nUser = tak\nPassword = kertowan582\n"
          "[Rpc]\nPort = 7400\n"
          "[Log]\nDir = /var/log/taksecSerd/\n"
          "[Limits]\nMaxFrameBytes = 67108864\nMaxPlainFrameBytes = 65536\n"
          "HandshakeSeconds = 30\nKeepAliveSeconds = 60\nMaxOutputBytes = 67108864\n"
          "DeviceLimit = 50000\nMaxQueuedBytes = 268435456\nStopDrainSeconds = 30\n");
    write(
        dir, target, "case-and-comments",
        "; agents\n# and the console\n[ipinfo]\nport=7500 ; agents\n[RPC]\nport = 7401 # console\n"
        "[log]\ndir = /tmp/tak\n");
    write(dir, target, "invalid-values",
          "[Database]\nPort = 70000\n[Rpc]\nPort = 7400x\n[Log]\nDir =\n"
          "[Limits]\nMaxFrameBytes = 0\nDeviceLimit = -1\nHandshakeSeconds = 010\n"
          "KeepAliveSeconds = 99999999999999999999\nMaxQueuedBytes = +5\n");
    write(dir, target, "syntax-errors", "[Limits\nMaxFrameBytes\n= 5\n[]\nkey = a = b\n\x01\x02\n");
    write(dir, target, "empty", "");
}

// ---- console calls --------------------------------------------------------------------------

void thriftSeeds(const fs::path& dir) {
    using apache::thrift::protocol::TBinaryProtocol;
    using apache::thrift::transport::TMemoryBuffer;
    const std::string target = "fuzz_thrift";

    auto calls = [](auto&& send) {
        auto buffer = std::make_shared<TMemoryBuffer>();
        auto protocol = std::make_shared<TBinaryProtocol>(buffer);
        tak::rpc::notify::notifyServiceClient client(protocol);
        send(client, *protocol);
        return buffer->getBufferAsString();
    };
    using Client = tak::rpc::notify::notifyServiceClient;
    write(dir, target, "notify-policy",
          calls([](Client& c, TBinaryProtocol&) { c.send_notifyPolicy(); }));
    write(dir, target, "host-info", calls([](Client& c, TBinaryProtocol&) {
              c.send_getDeviceHostInfo("aa:bb:cc:00:00:01");
          }));
    write(dir, target, "auth-on-and-off", calls([](Client& c, TBinaryProtocol&) {
              c.send_authDevice("aa:bb:cc:00:00:01", true);
              c.send_authDevice("aa:bb:cc:00:00:0", false);
          }));
    write(dir, target, "unknown-method", calls([](Client& c, TBinaryProtocol& p) {
              // A call the service does not have, with arguments of every kind, then a known one.
              p.writeMessageBegin("removeDevice", apache::thrift::protocol::T_CALL, 7);
              p.writeStructBegin("args");
              p.writeFieldBegin("mac", apache::thrift::protocol::T_STRING, 1);
              p.writeString(std::string("aa:bb"));
              p.writeFieldEnd();
              p.writeFieldBegin("ids", apache::thrift::protocol::T_LIST, 2);
              p.writeListBegin(apache::thrift::protocol::T_I32, 2);
              p.writeI32(1);
              p.writeI32(2);
              p.writeListEnd();
              p.writeFieldEnd();
              p.writeFieldBegin("opts", apache::thrift::protocol::T_MAP, 3);
              p.writeMapBegin(apache::thrift::protocol::T_STRING,
                              apache::thrift::protocol::T_DOUBLE, 1);
              p.writeString(std::string("x"));
              p.writeDouble(1.5);
              p.writeMapEnd();
              p.writeFieldEnd();
              p.writeFieldStop();
              p.writeStructEnd();
              p.writeMessageEnd();
              c.send_notifyPolicy();
          }));
    write(dir, target, "every-call", calls([](Client& c, TBinaryProtocol&) {
              c.send_notifyPolicy();
              c.send_getDeviceHostInfo("aa:bb:cc:00:00:02");
              c.send_authDevice("aa:bb:cc:00:00:02", false);
          }));
    write(dir, target, "oneway-and-reply-types", calls([](Client&, TBinaryProtocol& p) {
              p.writeMessageBegin("notifyPolicy", apache::thrift::protocol::T_ONEWAY, 1);
              p.writeStructBegin("args");
              p.writeFieldStop();
              p.writeStructEnd();
              p.writeMessageEnd();
              p.writeMessageBegin("notifyPolicy", apache::thrift::protocol::T_REPLY, 2);
              p.writeStructBegin("args");
              p.writeFieldStop();
              p.writeStructEnd();
              p.writeMessageEnd();
          }));
    // Type bytes outside Thrift's enums: a field type of 0x6f in a call's arguments, and a
    // message type of 11. Thrift refuses both; the fuzz build must not report their loads.
    write(dir, target, "bad-type-bytes", calls([](Client& c, TBinaryProtocol& p) {
              c.send_notifyPolicy();
              p.writeMessageBegin("authDevice", apache::thrift::protocol::T_CALL, 3);
              p.getTransport()->write(reinterpret_cast<const uint8_t*>("\x6f\x00\x01"), 3);
              p.writeFieldStop();
              p.writeMessageEnd();
          }));
    write(dir, target, "bad-message-type", calls([](Client&, TBinaryProtocol& p) {
              // Version 1, message type 11, then the name, the sequence number and empty
              // arguments.
              p.writeI32(static_cast<int32_t>(0x8001000b));
              p.writeString(std::string("notifyPolicy"));
              p.writeI32(4);
              p.writeFieldStop();
          }));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR   (writes DIR/<target>/<seed>)\n", argv[0]);
        return 2;
    }
    const fs::path dir = argv[1];
    keyAnswerSeeds(dir);
    businessSeeds(dir);
    configSeeds(dir);
    thriftSeeds(dir);
    return g_failed ? 1 : 0;
}
