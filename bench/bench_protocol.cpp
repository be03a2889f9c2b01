// Cost of the device protocol per frame and per session start, beside the bare primitives on
// the same data in the same run:
//   frames/s  decrypt + parse          vs raw EVP_sm4_cbc decryption of the same body
//   frames/s  serialise + encrypt      vs raw EVP_sm4_cbc encryption of the same envelope
//   offers/s  key offer (keygen + SM3 + sign)  vs SM2 signing alone
// and the key-file derivation that the key cache saves per session.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "comm-serd/protocol/TakKeyExchange.h"
#include "comm-serd/protocol/TakSmCrypto.h"

namespace {

const TakKeyExchange::KeyMaterial kMaterial = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// An envelope whose serialised form is close to bodyBytes.
Tak::Business::MessageData makeEnvelope(size_t bodyBytes) {
    Tak::Business::MessageData m;
    m.set_strfromuserid("takNetDevice");
    m.set_strtosessionid("takNetLog");
    m.set_nseqid(123456);
    m.set_ndatatype(Tak::ComDefine::PackDataReq);
    m.set_ncreate_time(1733820000123456ull);
    const size_t head = m.ByteSizeLong() + 4;
    m.set_bybusinessdata(std::string(bodyBytes > head ? bodyBytes - head : 0, 'b'));
    return m;
}

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

void BM_DecryptParse(benchmark::State& state) {
    const std::string plain = makeEnvelope(static_cast<size_t>(state.range(0))).SerializeAsString();
    const std::string frame =
        TakFrameCodec::buildFrame(TakSmCrypto::sm4Encrypt(kMaterial.data(), plain));
    TakFrameCodec codec(64u << 20);
    Tak::Business::MessageData parsed;
    std::string decrypted;
    for (auto _ : state) {
        const TakFrameCodec::Status status =
            codec.append(frame.data(), frame.size(), [&](std::string&& body) {
                if (TakSmCrypto::sm4Decrypt(kMaterial.data(), body, decrypted)) {
                    (void)parsed.ParsePartialFromString(decrypted);
                }
            });
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(parsed.nseqid());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
    state.SetLabel("frames; body " + std::to_string(plain.size()) + " B");
}

void BM_RawSm4CbcDecrypt(benchmark::State& state) {
    const std::string plain = makeEnvelope(static_cast<size_t>(state.range(0))).SerializeAsString();
    const std::string cipher = TakSmCrypto::sm4Encrypt(kMaterial.data(), plain);
    std::string out(cipher.size() + 16, '\0');
    CipherCtx c;
    for (auto _ : state) {
        int len = 0, tail = 0;
        EVP_DecryptInit_ex(c.ctx, EVP_sm4_cbc(), nullptr, kMaterial.data(), kMaterial.data() + 16);
        EVP_DecryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                          reinterpret_cast<const unsigned char*>(cipher.data()),
                          static_cast<int>(cipher.size()));
        EVP_DecryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &tail);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(cipher.size()));
}

void BM_SerializeEncrypt(benchmark::State& state) {
    const Tak::Business::MessageData envelope = makeEnvelope(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        const std::string frame = TakFrameCodec::buildFrame(
            TakSmCrypto::sm4Encrypt(kMaterial.data(), envelope.SerializeAsString()));
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(envelope.ByteSizeLong()));
}

void BM_RawSm4CbcEncrypt(benchmark::State& state) {
    const std::string plain = makeEnvelope(static_cast<size_t>(state.range(0))).SerializeAsString();
    std::string out(plain.size() + 16, '\0');
    CipherCtx c;
    for (auto _ : state) {
        int len = 0, tail = 0;
        EVP_EncryptInit_ex(c.ctx, EVP_sm4_cbc(), nullptr, kMaterial.data(), kMaterial.data() + 16);
        EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &tail);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(plain.size()));
}

// A key file in a scratch directory, made once for the run and removed at exit.
struct STBenchKeyDir {
    std::string dir;
    std::string file;
    STBenchKeyDir() {
        dir = (std::filesystem::temp_directory_path() / "tak-bench-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) std::abort();
        file = dir + "/scert.dat";
        if (!TakKeyFile::write(file, TakSm2Key::generate())) std::abort();
    }
    ~STBenchKeyDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const std::string& benchKeyPath() {
    static const STBenchKeyDir keyDir;
    return keyDir.file;
}

void BM_KeyOffer(benchmark::State& state) {
    TakServerKeyCache cache;
    TakSm2Key ephemeral;
    std::string pub, sign;
    for (auto _ : state) {
        const auto status =
            TakKeyExchange::makeKeyOffer(benchKeyPath(), ephemeral, pub, sign, cache);
        if (status != TakKeyExchange::OfferStatus::Signed) state.SkipWithError("no offer");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("offers");
}

void BM_Sm2Sign(benchmark::State& state) {
    const TakSm2Key key = TakSm2Key::generate();
    const TakSmCrypto::Digest digest = TakSmCrypto::sm3("digest");
    TakSm2Key::Signature sig{};
    for (auto _ : state) {
        if (!key.signDigest(digest.data(), sig)) state.SkipWithError("sign failed");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("signatures");
}

void BM_Sm2KeyGenerate(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(TakSm2Key::generate().get());
    state.SetItemsProcessed(state.iterations());
}

// What each session paid before the cache: the 65 536-round derivation and the key parse.
void BM_KeyFileReadUncached(benchmark::State& state) {
    TakSm2Key key;
    for (auto _ : state) {
        if (TakKeyFile::read(benchKeyPath(), key) != TakKeyFile::Status::Ok) {
            state.SkipWithError("read failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DecryptParse)->Arg(256)->Arg(4096);
BENCHMARK(BM_RawSm4CbcDecrypt)->Arg(256)->Arg(4096);
BENCHMARK(BM_SerializeEncrypt)->Arg(256)->Arg(4096);
BENCHMARK(BM_RawSm4CbcEncrypt)->Arg(256)->Arg(4096);
BENCHMARK(BM_KeyOffer);
BENCHMARK(BM_Sm2Sign);
BENCHMARK(BM_Sm2KeyGenerate);
BENCHMARK(BM_KeyFileReadUncached)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
