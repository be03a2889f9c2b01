#include "comm-serd/protocol/TakKeyExchange.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <string>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "log/TakNanoConsoleWriter.h"
#include "log/TakNanolog.h"

namespace {

// Without waiting, as the log's console echo writes: a standard output that nobody reads must
// not hold up the thread that makes a key offer. A line that does not fit is dropped.
void printLine(const char* text) {
    TakNanolog::ConsoleWriter out(STDOUT_FILENO, TakNanolog::ConsoleWriter::Form::Plain);
    out.offer(std::string(text) + "\n", static_cast<uint8_t>(TakNanolog::LogLevel::ERROR));
    out.flush();
}

std::string bytesOf(const unsigned char* data, size_t n) {
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::string businessdata(Tak::ComDefine::ECmdType command, const std::string& commandData) {
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(Tak::ComDefine::Module_Base);
    Tak::Business::ModuleData* module = bs.mutable_moduledata();
    module->set_ncommandid(command);
    module->set_commanddata(commandData);
    return bs.SerializeAsString();
}

}  // namespace

TakKeyExchange::OfferStatus TakKeyExchange::makeKeyOffer(const std::string& keyPath,
                                                         TakSm2Key& ephemeralKey,
                                                         std::string& pubKey, std::string& sign,
                                                         TakServerKeyCache& cache) {
    pubKey.clear();
    sign.clear();
    std::shared_ptr<const TakSm2Key> serverKey;
    const TakKeyFile::Status fileStatus = cache.get(keyPath, serverKey);
    if (fileStatus == TakKeyFile::Status::NoFile) {
        TAK_LOG_ERROR("not private key" << keyPath);
        return OfferStatus::NoKeyFile;
    }

    ephemeralKey = TakSm2Key::generate();
    if (ephemeralKey.empty()) {
        printLine("GenerateSm2Key error");
        return OfferStatus::Empty;
    }
    if (fileStatus != TakKeyFile::Status::Ok || !serverKey) {
        TAK_LOG_ERROR("server key file unusable:" << keyPath << TakKeyFile::statusText(fileStatus));
        printLine("密钥错误");
        return OfferStatus::Empty;
    }

    TakSm2Key::Point point{};
    TakSm2Key::Signature signature{};
    if (!ephemeralKey.publicPoint(point)) {
        printLine("GenerateSm2Key error");
        return OfferStatus::Empty;
    }
    const std::string pointBytes = bytesOf(point.data(), point.size());
    const TakSmCrypto::Digest digest = TakSmCrypto::sm3(pointBytes);
    if (!serverKey->signDigest(digest.data(), signature)) {
        TAK_LOG_ERROR("sign public key error");
        return OfferStatus::Empty;
    }
    pubKey = pointBytes;
    sign = bytesOf(signature.data(), signature.size());
    return OfferStatus::Signed;
}

TakKeyExchange::AnswerStatus TakKeyExchange::acceptKeyAnswer(const TakSm2Key& ephemeralKey,
                                                             std::string_view commandData,
                                                             KeyMaterial& material) {
    if (ephemeralKey.empty()) return AnswerStatus::NoEphemeralKey;
    Tak::EncAndDec::EncMsgData message;
    // Partial parse and an explicit check: a strict parse would have protobuf log every
    // malformed answer on standard error.
    if (!message.ParsePartialFromArray(commandData.data(), static_cast<int>(commandData.size())) ||
        !message.has_bymsg()) {
        return AnswerStatus::Malformed;
    }
    std::string plain;
    if (!ephemeralKey.decrypt(message.bymsg(), plain)) return AnswerStatus::DecryptFailed;
    if (plain.size() != material.size()) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return AnswerStatus::WrongLength;
    }
    std::copy(plain.begin(), plain.end(), material.begin());
    OPENSSL_cleanse(plain.data(), plain.size());
    return AnswerStatus::Accepted;
}

bool TakKeyExchange::parseKeyAnswer(std::string_view body, std::string& commandData) {
    Tak::Business::MessageData envelope;
    Tak::Business::Businessdata bs;
    if (!envelope.ParsePartialFromArray(body.data(), static_cast<int>(body.size())) ||
        !bs.ParsePartialFromString(envelope.bybusinessdata()) ||
        bs.nmoduletype() != Tak::ComDefine::Module_Base ||
        bs.moduledata().ncommandid() != Tak::ComDefine::base_cmsKeyUp) {
        return false;
    }
    commandData = bs.moduledata().commanddata();
    return true;
}

std::string TakKeyExchange::buildOfferBusinessdata(const std::string& pubKey,
                                                   const std::string& sign) {
    Tak::EncAndDec::PubKeyInfo info;
    info.set_bypubkey(pubKey);
    info.set_bypubkeysign(sign);
    return businessdata(Tak::ComDefine::base_publicCertDown, info.SerializeAsString());
}

bool TakKeyExchange::verifyOffer(const TakSm2Key::Point& serverPoint, std::string_view pubKey,
                                 std::string_view sign) {
    if (pubKey.size() != TakSm2Key::kPointSize || sign.size() != TakSm2Key::kSignatureSize) {
        return false;
    }
    const TakSmCrypto::Digest digest = TakSmCrypto::sm3(pubKey);
    return TakSm2Key::verifyDigest(serverPoint.data(), digest.data(),
                                   reinterpret_cast<const unsigned char*>(sign.data()));
}

bool TakKeyExchange::buildAnswerBusinessdata(std::string_view pubKey, const KeyMaterial& material,
                                             std::string& businessdata) {
    if (pubKey.size() != TakSm2Key::kPointSize) return false;
    std::string cipher;
    if (!TakSm2Key::encryptTo(
            reinterpret_cast<const unsigned char*>(pubKey.data()),
            std::string_view(reinterpret_cast<const char*>(material.data()), material.size()),
            cipher)) {
        return false;
    }
    Tak::EncAndDec::EncMsgData message;
    message.set_bymsg(cipher);
    businessdata = ::businessdata(Tak::ComDefine::base_cmsKeyUp, message.SerializeAsString());
    return true;
}
