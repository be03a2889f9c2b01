// The generated schema set: what is registered, the enumerator values agents and the console
// depend on, what absent fields read as, and that every message survives the wire.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <memory>
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
#include "Tak.SystemProtect.pb.h"
#include "protobuf/TakProtoRegistry.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
namespace CD = Tak::ComDefine;

std::vector<const FileDescriptor*> registeredFiles() {
    takRegisterProtoDescriptors();
    std::vector<const FileDescriptor*> files;
    for (const std::string& name : takProtoFileNames()) {
        files.push_back(DescriptorPool::generated_pool()->FindFileByName(name));
    }
    return files;
}

void collectMessages(const Descriptor* d, std::vector<const Descriptor*>& out) {
    out.push_back(d);
    for (int i = 0; i < d->nested_type_count(); ++i) collectMessages(d->nested_type(i), out);
}

std::vector<const Descriptor*> allMessages() {
    std::vector<const Descriptor*> out;
    for (const FileDescriptor* file : registeredFiles()) {
        for (int i = 0; i < file->message_type_count(); ++i) {
            collectMessages(file->message_type(i), out);
        }
    }
    return out;
}

TEST(TakProtoSchema, EveryFileIsRegisteredAsPlainProto2) {
    const std::vector<const FileDescriptor*> files = registeredFiles();
    ASSERT_EQ(files.size(), takProtoFileNames().size());
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& name = takProtoFileNames()[i];
        SCOPED_TRACE(name);
        ASSERT_NE(files[i], nullptr);
        // Named after the package, proto2, no options and no services.
        EXPECT_EQ(files[i]->package() + ".proto", name);
        EXPECT_EQ(files[i]->syntax(), FileDescriptor::SYNTAX_PROTO2);
        EXPECT_EQ(files[i]->options().ByteSizeLong(), 0u);
        EXPECT_EQ(files[i]->service_count(), 0);
    }
    for (const Descriptor* d : allMessages()) {
        SCOPED_TRACE(d->full_name());
        EXPECT_EQ(d->oneof_decl_count(), 0);
        EXPECT_EQ(d->options().ByteSizeLong(), 0u);
        for (int i = 0; i < d->field_count(); ++i) {
            EXPECT_FALSE(d->field(i)->has_default_value()) << d->field(i)->name();
            EXPECT_EQ(d->field(i)->options().ByteSizeLong(), 0u) << d->field(i)->name();
        }
    }
}

TEST(TakProtoSchema, ImportsAreByFileName) {
    takRegisterProtoDescriptors();
    const FileDescriptor* notify = Tak::PolicyNotify::DeviceInfoUp::descriptor()->file();
    std::vector<std::string> imports;
    for (int i = 0; i < notify->dependency_count(); ++i) {
        imports.push_back(notify->dependency(i)->name());
    }
    EXPECT_EQ(imports, (std::vector<std::string>{"Tak.Business.proto", "Tak.ComDefine.proto",
                                                 "Tak.SecureLog.proto", "Tak.SystemLog.proto"}));
}

// Values that agents and stored policies carry; the odd ones are deliberate.
TEST(TakProtoSchema, CommandValues) {
    const struct {
        CD::ECmdType command;
        int value;
    } table[] = {
        {CD::policy_min, 65536},
        {CD::policy_deviceInfoUp, 65537},
        {CD::policy_notify, 65538},
        {CD::policy_auditUp, 65539},
        {CD::policy_auditReset, 65541},
        {CD::policy_lastUploadRecord, 65542},
        {CD::policy_setUploadRecord, 65543},
        {CD::policy_max, 69632},
        {CD::Base_min, 0},
        {CD::base_publicCertDown, 1},
        {CD::base_cmsKeyUp, 2},
        {CD::base_State, 257},
        {CD::Base_max, 2304},
        {CD::reinforce_max, 65945},
        {CD::protect_min, 66561},
        {CD::protect_ConfigKernelContent, 1059},
        {CD::protect_ConfigProContent, 66627},
        {CD::protect_ConfigDirContent, 66611},
        {CD::audit_TypeCount, 66821},
        {CD::audit_MonthCount, 66820},
        {CD::log_localExportLog, 67607},
        {CD::hostInfo_getSystemRes, 67073},
        {CD::systemconfig_policyOutput, 67906},
        {CD::devcontrol_max, 70041},
    };
    for (const auto& row : table) {
        EXPECT_EQ(static_cast<int>(row.command), row.value) << CD::ECmdType_Name(row.command);
    }
    EXPECT_FALSE(CD::ECmdType_IsValid(65540));
    EXPECT_FALSE(CD::ECmdType_IsValid(0x10423));
    EXPECT_FALSE(CD::ECmdType_IsValid(0x10400));

    // Declaration order is part of the format: audit_MonthCount follows audit_TypeCount.
    const EnumDescriptor* commands = CD::ECmdType_descriptor();
    EXPECT_EQ(commands->FindValueByName("audit_MonthCount")->index(),
              commands->FindValueByName("audit_TypeCount")->index() + 1);
    EXPECT_EQ(CD::Module_unkonw, 256);
    EXPECT_EQ(CD::Module_Policy, 257);
    EXPECT_EQ(CD::Module_DevControl, 16);
    EXPECT_EQ(Tak::PolicyNotify::auditUpType_unkonw, -1);
    EXPECT_EQ(Tak::PolicyNotify::auditUpType_secLog, 500);
}

// Without declared defaults an absent enum field reads as the first enumerator declared.
TEST(TakProtoSchema, AbsentFieldsReadTheFirstEnumerator) {
    Tak::Business::MessageData envelope;
    ASSERT_TRUE(envelope.ParsePartialFromString(""));
    EXPECT_EQ(envelope.ndatatype(), CD::PackDataReq);
    EXPECT_FALSE(envelope.has_ndatatype());

    Tak::Business::Businessdata bs;
    ASSERT_TRUE(bs.ParsePartialFromString(""));
    EXPECT_EQ(bs.nmoduletype(), CD::Module_unkonw);
    EXPECT_EQ(bs.moduledata().ncommandid(), CD::policy_min);

    Tak::PolicyNotify::AuditContentUpReq upload;
    EXPECT_EQ(upload.ntype(), Tak::PolicyNotify::auditUpType_unkonw);
    Tak::Base::CommandStateReq state;
    EXPECT_EQ(state.ntype(), CD::State_unknow);
}

// An enumerator this build does not know is kept aside, not stored: the field reads as absent
// and the value still goes out again unchanged.
TEST(TakProtoSchema, UndeclaredEnumValueReadsAsAbsentAndIsPreserved) {
    // Businessdata { nModuleType = 999 }: tag 0x08, varint 999 = e7 07
    const std::string wire("\x08\xe7\x07", 3);
    Tak::Business::Businessdata bs;
    EXPECT_FALSE(bs.ParseFromString(wire));  // the required field counts as missing
    ASSERT_TRUE(bs.ParsePartialFromString(wire));
    EXPECT_FALSE(bs.has_nmoduletype());
    EXPECT_EQ(bs.nmoduletype(), CD::Module_unkonw);
    EXPECT_EQ(bs.SerializePartialAsString(), wire);
}

TEST(TakProtoSchema, FieldsAreWrittenByNumberWhateverTheDeclarationOrder) {
    Tak::Base::PriExceptionAsr answer;
    answer.set_ntype(7);
    answer.add_exceptionlist()->set_strname("p");
    const std::string wire = answer.SerializeAsString();
    // field 1 (exceptionList, length-delimited) first, then field 2 (nType = 7)
    EXPECT_EQ(wire, std::string("\x0a\x03\x0a\x01p\x10\x07", 7));
}

// Fills every field (two elements of every repeated field), recursively.
void fillAll(Message& message, int seed) {
    const Descriptor* d = message.GetDescriptor();
    const google::protobuf::Reflection* r = message.GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        const int count = f->is_repeated() ? 2 : 1;
        for (int k = 0; k < count; ++k) {
            const int v = seed * 31 + i * 7 + k + 1;
            const bool rep = f->is_repeated();
            switch (f->cpp_type()) {
                case FieldDescriptor::CPPTYPE_INT32:
                    rep ? r->AddInt32(&message, f, -v) : r->SetInt32(&message, f, -v);
                    break;
                case FieldDescriptor::CPPTYPE_UINT32:
                    rep ? r->AddUInt32(&message, f, 0xfffffff0u + k)
                        : r->SetUInt32(&message, f, 0xfffffff0u + k);
                    break;
                case FieldDescriptor::CPPTYPE_UINT64:
                    rep ? r->AddUInt64(&message, f, (1ull << 63) + v)
                        : r->SetUInt64(&message, f, (1ull << 63) + v);
                    break;
                case FieldDescriptor::CPPTYPE_BOOL:
                    rep ? r->AddBool(&message, f, true) : r->SetBool(&message, f, true);
                    break;
                case FieldDescriptor::CPPTYPE_STRING: {
                    // Binary bytes and UTF-8 text alike.
                    const std::string s = f->type() == FieldDescriptor::TYPE_BYTES
                                              ? std::string("\0\xff\x80", 3) + std::to_string(v)
                                              : "主机-" + std::to_string(v);
                    rep ? r->AddString(&message, f, s) : r->SetString(&message, f, s);
                    break;
                }
                case FieldDescriptor::CPPTYPE_ENUM: {
                    const EnumDescriptor* e = f->enum_type();
                    const auto* value = e->value((e->value_count() - 1 - k) % e->value_count());
                    rep ? r->AddEnum(&message, f, value) : r->SetEnum(&message, f, value);
                    break;
                }
                case FieldDescriptor::CPPTYPE_MESSAGE:
                    fillAll(rep ? *r->AddMessage(&message, f) : *r->MutableMessage(&message, f), v);
                    break;
                default:
                    ADD_FAILURE() << "type not in the schema: " << f->full_name();
            }
        }
    }
}

TEST(TakProtoSchema, EveryMessageSurvivesTheWire) {
    const std::vector<const Descriptor*> messages = allMessages();
    ASSERT_FALSE(messages.empty());
    for (const Descriptor* d : messages) {
        SCOPED_TRACE(d->full_name());
        const Message* prototype =
            google::protobuf::MessageFactory::generated_factory()->GetPrototype(d);
        ASSERT_NE(prototype, nullptr);
        std::unique_ptr<Message> original(prototype->New());
        fillAll(*original, 1);
        ASSERT_TRUE(original->IsInitialized());
        std::string wire;
        ASSERT_TRUE(original->SerializeToString(&wire));
        std::unique_ptr<Message> parsed(prototype->New());
        ASSERT_TRUE(parsed->ParseFromString(wire));
        EXPECT_TRUE(MessageDifferencer::Equals(*original, *parsed));
        EXPECT_EQ(parsed->SerializeAsString(), wire);
    }
}

// The nesting the server builds: a stored policy command reaches the agent byte for byte.
TEST(TakProtoSchema, NestedPolicyCommandIsCarriedUnchanged) {
    Tak::SystemProtect::ConfigKernelContentReq command;
    command.set_nop(CD::Op_del);
    Tak::SystemProtect::KernelContent* content = command.add_contents();
    content->set_strpath("/lib/modules/x.ko");
    content->set_strmodename("x");
    const std::string commandBytes = command.SerializeAsString();

    Tak::PolicyNotify::BusinessPolicyDown down;
    down.set_nid(42);
    down.mutable_bsdata()->set_nmoduletype(CD::Module_SystemProtect);
    down.mutable_bsdata()->mutable_moduledata()->set_ncommandid(CD::protect_ConfigKernelContent);
    down.mutable_bsdata()->mutable_moduledata()->set_commanddata(commandBytes);

    Tak::Business::ModuleData outer;
    outer.set_ncommandid(CD::policy_notify);
    outer.set_commanddata(down.SerializeAsString());
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(CD::Module_Policy);
    *bs.mutable_moduledata() = outer;
    Tak::Business::MessageData envelope;
    envelope.set_strfromuserid("takNetDevice");
    envelope.set_strtosessionid("taksecd");
    envelope.set_nseqid(0xffffffffu);
    envelope.set_ndatatype(CD::PackDataReq);
    envelope.set_ncreate_time(1733820000123456ull);
    envelope.set_bybusinessdata(bs.SerializeAsString());

    Tak::Business::MessageData got;
    ASSERT_TRUE(got.ParseFromString(envelope.SerializeAsString()));
    Tak::Business::Businessdata gotBs;
    ASSERT_TRUE(gotBs.ParseFromString(got.bybusinessdata()));
    Tak::PolicyNotify::BusinessPolicyDown gotDown;
    ASSERT_TRUE(gotDown.ParseFromString(gotBs.moduledata().commanddata()));
    EXPECT_EQ(got.nseqid(), 0xffffffffu);
    EXPECT_EQ(gotDown.nid(), 42u);
    EXPECT_EQ(gotDown.bsdata().moduledata().ncommandid(), CD::protect_ConfigKernelContent);
    EXPECT_EQ(gotDown.bsdata().moduledata().commanddata(), commandBytes);
}

// A receipt: no byBusinessdata; and a command with empty commandData carries the empty message.
TEST(TakProtoSchema, EmptyPartsStayEmpty) {
    Tak::Business::MessageData receipt;
    receipt.set_strfromuserid("agent");
    receipt.set_nseqid(9);
    receipt.set_ndatatype(CD::PackDataAck);
    receipt.set_ncreate_time(1);
    Tak::Business::MessageData got;
    ASSERT_TRUE(got.ParseFromString(receipt.SerializeAsString()));
    EXPECT_FALSE(got.has_bybusinessdata());
    EXPECT_FALSE(got.has_strtosessionid());

    Tak::Business::ModuleData query;
    query.set_ncommandid(CD::hostInfo_getSystemRes);
    query.set_commanddata("");
    Tak::Business::ModuleData gotQuery;
    ASSERT_TRUE(gotQuery.ParseFromString(query.SerializeAsString()));
    EXPECT_TRUE(gotQuery.has_commanddata());
    Tak::HostInfo::SystemUserReq empty;
    EXPECT_TRUE(empty.ParsePartialFromString(gotQuery.commanddata()));
}

}  // namespace
