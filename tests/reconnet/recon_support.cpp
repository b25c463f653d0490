#include "reconnet/recon_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bench/gen-keys/keypool.h"
#include "platform/pgp/armor.h"
#include "recon/net/hashquery_client.h"

namespace krytest {

std::vector<TestKey> GeneratedKeys(long from, long count) {
  static krybench::KeyPool pool;
  static bool filled = krybench::FillPool(&pool, 2, 1024);
  EXPECT_TRUE(filled);
  std::vector<TestKey> keys;
  for (long i = from; i < from + count; ++i) {
    krybench::GeneratedKey g;
    EXPECT_TRUE(krybench::MakeKey(pool, i, 1600000000, &g));
    TestKey k;
    k.armored = g.armored;
    krypgp::ArmorBlock block;
    EXPECT_EQ(krypgp::DearmorOne(reinterpret_cast<const uint8_t*>(g.armored.data()), g.armored.size(), 0, &block), 0);
    k.binary.assign(block.data.begin(), block.data.end());
    EXPECT_EQ(krypgp::ComputeSksDigest(block.data.data(), block.data.size(), &k.digest), 0);
    keys.push_back(std::move(k));
  }
  return keys;
}

namespace {

std::string ServerLines(int httpPort, int reconPort) {
  return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nHKPPort " + std::to_string(httpPort) + "\nReconPort " +
         std::to_string(reconPort) + "\nAcceptModernKeys yes\n";
}

}  // namespace

ReconServer::ReconServer(int httpPort, int reconPort, const std::string& extra)
    : http(httpPort), recon(reconPort), server(ServerLines(httpPort, reconPort) + extra) {}

bool ReconServer::Reconfigure(const std::string& extra) {
  if (server.Stop() != 0) return false;
  server.tree().WriteConfig("Allow ip 127.0.0.1 all\n" + ServerLines(http, recon) + extra);
  return server.tree().Start();
}

int SubmitKeys(int httpPort, const std::vector<TestKey>& keys) {
  TempDir tmp;
  std::string text;
  for (const TestKey& k : keys) text += k.armored;
  WriteFile(tmp.File("keys.asc"), text);
  const RunResult r = RunShell("curl -s --max-time 600 -o /dev/null -w '%{http_code}' --data-urlencode keytext@" +
                               ShellQuote(tmp.File("keys.asc")) + " http://127.0.0.1:" + std::to_string(httpPort) +
                               "/pks/add");
  return std::atoi(r.output.c_str());
}

size_t HeldByDigest(int httpPort, const std::vector<TestKey>& keys) {
  size_t held = 0;
  for (size_t at = 0; at < keys.size(); at += 500) {
    std::vector<krypgp::SksDigest> batch;
    for (size_t i = at; i < keys.size() && i < at + 500; ++i) batch.push_back(keys[i].digest);
    std::vector<std::string> got;
    std::string error;
    if (!kry::recon_net::FetchByDigests("127.0.0.1", httpPort, batch, kry::recon_net::HashqueryLimits(), &got,
                                        &error)) {
      ADD_FAILURE() << "hash query to " << httpPort << ": " << error;
      return held;
    }
    held += got.size();
  }
  return held;
}

std::string StatsJson(int httpPort) {
  return RunShell("curl -s --max-time 20 'http://127.0.0.1:" + std::to_string(httpPort) + "/pks/stats?options=mr'")
      .output;
}

uint64_t PeerStat(const std::string& json, const std::string& peer, const std::string& direction,
                  const std::string& field) {
  const size_t entry = json.find("{\"peer\":\"" + peer + "\",\"direction\":\"" + direction + "\"");
  if (entry == std::string::npos) return 0;
  const size_t at = json.find("\"" + field + "\":", entry);
  if (at == std::string::npos) return 0;
  return std::strtoull(json.c_str() + at + field.size() + 3, nullptr, 10);
}

bool WaitUntil(int seconds, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return true;
}

}  // namespace krytest
