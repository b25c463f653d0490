// The request handlers: decoding, the checks made before the backend, what
// reaches the backend, and the answers to malformed requests.
#include <gtest/gtest.h>

#include "ldap/dispatch.h"
#include "ldap/result.h"
#include "platform/pgp/kry.h"
#include "ops_fixture.h"

namespace kry {
namespace test {
namespace {

std::string Bytes(BerBuffer* ber) { return std::string(reinterpret_cast<const char*>(ber->buffer()), ber->current); }

std::string Bind(int version, const std::string& dn, const std::string& pw, int method = 0x80, bool v30 = false) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), v30 ? "t{{isto}}" : "t{isto}", 0x60, version, dn.c_str(), method, pw.data(),
             static_cast<int>(pw.size()));
  return Bytes(b.get());
}

// One modification: operation, type and values (a null list sends none).
struct M {
  int op;
  std::string type;
  std::vector<BerValue> values;
};
std::string ModifyReq(const std::string& dn, const std::vector<M>& mods) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "t{s{", 0x66, dn.c_str());
  for (const M& m : mods) ber_printf(b.get(), "{e{s[V]}}", m.op, m.type.c_str(), &m.values);
  ber_printf(b.get(), "}}");
  return Bytes(b.get());
}

struct A {
  std::string type;
  std::vector<BerValue> values;
};
std::string AddReq(const std::string& dn, const std::vector<A>& attrs) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "t{s{", 0x68, dn.c_str());
  for (const A& a : attrs) ber_printf(b.get(), "{s[V]}", a.type.c_str(), &a.values);
  ber_printf(b.get(), "}}");
  return Bytes(b.get());
}

std::string CompareReq(const std::string& dn, const std::string& type, const std::string& value) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "t{s{ss}}", 0x6E, dn.c_str(), type.c_str(), value.c_str());
  return Bytes(b.get());
}

std::string Primitive(unsigned tag, const std::string& text) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "ts", tag, text.c_str());
  return Bytes(b.get());
}

// What reached a stand-in backend operation.
std::string g_dn;
std::vector<Modification> g_mods;
Ava g_ava;
int FakeModify(Backend*, Connection* c, Operation* o, const std::string& dn, std::vector<Modification>& mods) {
  g_dn = dn;
  g_mods = mods;
  send_ldap_result(c, o, 0, nullptr, nullptr);
  return 0;
}
int FakeCompare(Backend*, Connection* c, Operation* o, const std::string& dn, const Ava& ava) {
  g_dn = dn;
  g_ava = ava;
  send_ldap_result(c, o, 6, nullptr, nullptr);
  return 0;
}

using Handlers = OpsTest;

TEST_F(Handlers, BindVersionsAndFraming) {
  NewOp(0x60, Bind(3, "", ""));
  do_bind(&conn_, op_.get());
  Response r = Receive();
  EXPECT_EQ(r.tag, 0x61u);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "version not supported");

  NewOp(0x60, std::string("\x60\x03\x02\x01", 4));  // cut short
  do_bind(&conn_, op_.get());
  r = Receive();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "decoding error");

  // The 3.0 framing: an extra SEQUENCE, simple binds tagged 0xA0, and every
  // later response one level deeper.
  ASSERT_EQ(Add("CN=admin," + std::string(kActive), {{"userpassword", "pw"}}), 0);
  NewOp(0x60, Bind(2, "cn=admin, ou=active, o=kry keyspace, c=us", "pw", 0xA0, true));
  do_bind(&conn_, op_.get());
  r = Receive();
  EXPECT_TRUE(r.v30);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(conn_.c_version.load(), 30);
  EXPECT_EQ(conn_.c_dn, "cn=admin,ou=active,o=kry keyspace,c=us");

  // Anonymous keeps the bound DN; a failed bind too.
  NewOp(0x60, Bind(2, "", ""));
  do_bind(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 0);
  NewOp(0x60, Bind(2, "CN=admin," + std::string(kActive), "bad"));
  do_bind(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 49);
  EXPECT_EQ(conn_.c_dn, "cn=admin,ou=active,o=kry keyspace,c=us");
}

TEST_F(Handlers, ModifyDecodingAndWhatReachesTheBackend) {
  be_->ops.modify = FakeModify;
  const std::string dn = "CN=x , OU=ACTIVE,O=KRY KEYSPACE,C=US";
  NewOp(0x66, ModifyReq(dn, {{0, "kryKey", {BerValue(std::string("v"))}}, {1, "Mail", {}}}));
  do_modify(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 0);
  EXPECT_EQ(g_dn, dn);  // as received
  EXPECT_EQ(op_->o_logDetail.dn, "CN=x,OU=ACTIVE,O=KRY KEYSPACE,C=US");
  ASSERT_EQ(g_mods.size(), 2u);
  EXPECT_EQ(g_mods[0].type, "krykey");
  EXPECT_EQ(g_mods[0].values, std::vector<std::string>{"v"});
  EXPECT_EQ(g_mods[1].op, 1);
  EXPECT_TRUE(g_mods[1].values.empty());

  g_mods.clear();
  struct Case {
    std::vector<M> mods;
    const char* text;
  } cases[] = {
      {{{2, "cn", {}}}, "no values given"},
      {{{0, "cn", {BerValue(std::string("a"))}}, {3, "cn", {BerValue(std::string("a"))}}},
       "unrecognized modify operation"},
  };
  for (const Case& c : cases) {
    NewOp(0x66, ModifyReq(dn, c.mods));
    do_modify(&conn_, op_.get());
    Response r = Receive();
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.text, c.text);
  }
  EXPECT_TRUE(g_mods.empty());  // none of them was passed on

  // A modification that is not a SEQUENCE of the right shape.
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "t{s{{s}}}", 0x66, dn.c_str(), "junk");
  NewOp(0x66, Bytes(b.get()));
  do_modify(&conn_, op_.get());
  Response r = Receive();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "decoding error");
}

TEST_F(Handlers, CompareCanonicalisesByTheTypesSyntaxAndKeepsItsCase) {
  be_->ops.compare = FakeCompare;
  NewOp(0x6E, CompareReq("CN=x,C=US", "Dn", "cn = a , o=x"));
  do_compare(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 6);
  EXPECT_EQ(g_ava.type, "Dn");
  EXPECT_EQ(g_ava.value, "CN=A,O=X");
}

TEST_F(Handlers, MalformedRequestsGetProtocolError) {
  const std::string junk = Primitive(0x04, "x");
  const std::pair<unsigned, void (*)(Connection*, Operation*)> handlers[] = {
      {0x6E, do_compare}, {0x6C, do_modrdn}, {0x66, do_modify}, {0x68, do_add}, {0x60, do_bind}};
  for (const auto& h : handlers) {
    for (const std::string& req : {std::string(), junk, std::string("\x30\x85\xff", 3)}) {
      NewOp(h.first, req);
      h.second(&conn_, op_.get());
      Response r = Receive();
      EXPECT_EQ(r.tag, h.first + 1);
      EXPECT_EQ(r.code, 2) << std::hex << h.first;
    }
  }
  NewOp(0x4A, std::string());
  do_delete(&conn_, op_.get());
  Response r = Receive();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "The data provided to the server was invalid or corrupt.");
}

TEST_F(Handlers, MissingBackendOrOperation) {
  be_->ops.del = nullptr;
  NewOp(0x4A, Primitive(0x4A, "CN=x,C=US"));
  do_delete(&conn_, op_.get());
  Response r = Receive();
  EXPECT_EQ(r.tag, 0x6Bu);
  EXPECT_EQ(r.code, 53);
  EXPECT_EQ(r.text, "Function not implemented");

  g_globals->backends.clear();
  be_ = nullptr;
  NewOp(0x6E, CompareReq("CN=x,C=US", "cn", "x"));
  do_compare(&conn_, op_.get());
  r = Receive();
  EXPECT_EQ(r.code, 9);
  EXPECT_EQ(r.text, "");
  NewOp(0x60, Bind(2, "CN=x,C=US", "pw"));
  do_bind(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 9);
  NewOp(0x60, Bind(2, "CN=x,C=US", ""));
  do_bind(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 0);
  NewOp(0x68, AddReq("CN=x,C=US", {{"cn", {BerValue(std::string("x"))}}}));
  do_add(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 1);
}

TEST_F(Handlers, AddBranches) {
  const std::string dn = "cn=new, OU=ACTIVE,O=KRY KEYSPACE,C=US";
  NewOp(0x68, AddReq(dn, {{"cn", {BerValue(std::string("new"))}}, {"mail", {}}}));
  do_add(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 2);

  KRYsdkInit(0);
  NewOp(0x68, AddReq("KRYCERTID=VIRTUAL, OU=ACTIVE,O=KRY KEYSPACE,C=US", {{"kryKey", {BerValue(std::string("k"))}}}));
  do_add(&conn_, op_.get());
  KRYsdkCleanup();
  Response r = Receive();
  EXPECT_EQ(r.code, 21);  // not a key block
  EXPECT_EQ(r.text, "");
  // A request block is parsed before any key is looked at.
  NewOp(0x68, AddReq("KRYCERTID=VIRTUAL, OU=ACTIVE,O=KRY KEYSPACE,C=US", {{"kryRequest", {BerValue(std::string("k"))}}}));
  do_add(&conn_, op_.get());
  r = Receive();
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "Invalid kryRequest block format.");

  NewOp(0x68, AddReq("OU=DEFAULT,O=KRY GROUPSPACE,C=US", {{"ou", {BerValue(std::string("default"))}}}));
  do_add(&conn_, op_.get());
  r = Receive();
  EXPECT_EQ(r.code, 50);
  EXPECT_EQ(r.text, "You do not have authority to perform this action.");

  NewOp(0x68, AddReq(dn, {{"cn", {BerValue(std::string("new"))}},
                          {"modifytimestamp", {BerValue(std::string("19990101000000Z"))}},
                          {"CN", {BerValue(std::string("other"))}}}));
  do_add(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 0);
  EXPECT_EQ(std::string(op_->o_logDetail.code), "ADD");
  const std::string ndn = "cn=new,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  EXPECT_EQ(Values(ndn, "cn", true), (std::vector<std::string>{"new", "other"}));
  std::vector<std::string> stamp = Values(ndn, "modifytimestamp");
  ASSERT_EQ(stamp.size(), 1u);
  EXPECT_EQ(stamp[0].size(), 15u);
  EXPECT_NE(stamp[0], "19990101000000Z");

  NewOp(0x68, AddReq(dn, {{"cn", {BerValue(std::string("new"))}}}));
  do_add(&conn_, op_.get());
  EXPECT_EQ(Receive().code, 68);
}

}  // namespace
}  // namespace test
}  // namespace kry
