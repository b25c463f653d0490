// The accepting side drives: it asks about a node with its sample values
// and the connecting side answers with the difference when the samples
// resolve it, or a sync failure, after which the driver asks about the
// node's children, or for a leaf sends all its elements. Requests go out in
// batches closed by a flush; answers come back one per request, in order.
#include "recon/session.h"

#include <algorithm>
#include <deque>
#include <set>

#include "recon/channel.h"
#include "recon/handshake.h"
#include "recon/poly.h"

namespace recon {
namespace {

// Requests per flush: small enough that neither side's socket buffer fills
// while the other is still writing.
constexpr size_t kBatch = 32;

class Session {
 public:
  Session(int fd, const ReconSet& set, const ReconParams& p, const SessionLimits& lim,
          SessionResult* out)
      : ch_(fd, lim), view_(set.Snapshot()), p_(p), out_(out) {}

  int Run(bool initiator, int ourHttpPort) {
    int st = ExchangeConfig(&ch_, p_, ourHttpPort, out_);
    if (st == kReconOk) st = initiator ? Answer() : Drive();
    if (st != kReconOk && out_->failure.empty()) out_->failure = ch_.Error();
    out_->weLack.assign(lack_.begin(), lack_.end());
    out_->bytesIn = ch_.BytesIn();
    out_->bytesOut = ch_.BytesOut();
    return st;
  }

 private:
  struct Request {
    Prefix prefix;
    bool full;
  };

  int Answer();
  int Drive();
  int AnswerPoly(const Message& m);
  int AnswerFull(const Message& m);
  int SendRequest(const Request& r);
  int HandleReply(const Request& r, const Message& m);

  int Protocol(std::string why) {
    out_->failure = std::move(why);
    return kReconProtocolError;
  }

  // Elements the peer holds and we lack; each must be a digest.
  int Learn(const std::vector<Zp>& elements) {
    for (const Zp& e : elements) {
      Digest d;
      if (!e.ToDigest(&d)) return Protocol("element out of the digest range");
      if (!view_.Contains(e)) lack_.insert(d);
    }
    return kReconOk;
  }

  bool ValidPrefix(const Prefix& p) const {
    return p.bits % p_.bitQuantum == 0 && p.bits <= 8 * Zp::kBytes;
  }

  void QueueElements(MsgType t, std::vector<Zp> elements) {
    Message m;
    m.type = t;
    m.elements = std::move(elements);
    ch_.Queue(m);
  }

  Channel ch_;
  ReconView view_;
  const ReconParams& p_;
  SessionResult* out_;
  std::set<Digest> lack_;
};

// The local side of a remote node: what the samples tell apart, or false
// when they cannot (too many differences, or a result that does not fit
// what we hold).
bool Resolve(const ReconView& view, const Message& m, std::vector<Zp>* remoteOnly,
             std::vector<Zp>* localOnly) {
  ReconView::NodeInfo local = view.Node(m.prefix);
  if (!SolveDifference(view.Points(), m.samples, m.size, local.samples, (int64_t)local.size,
                       remoteOnly, localOnly)) {
    return false;
  }
  for (const Zp& e : *localOnly) {
    if (!view.Contains(e)) return false;
  }
  for (const Zp& e : *remoteOnly) {
    if (view.Contains(e) || !m.prefix.Matches(e.ToBytesLE())) return false;
  }
  return true;
}

int Session::AnswerPoly(const Message& m) {
  if (!ValidPrefix(m.prefix) || m.samples.size() != (size_t)p_.NumSamples()) {
    return Protocol("malformed polynomial request");
  }
  std::vector<Zp> remoteOnly, localOnly;
  if (!Resolve(view_, m, &remoteOnly, &localOnly)) {
    Message fail;
    fail.type = MsgType::kSyncFail;
    ch_.Queue(fail);
    return kReconOk;
  }
  QueueElements(MsgType::kElements, std::move(localOnly));
  return Learn(remoteOnly);
}

int Session::AnswerFull(const Message& m) {
  if (!ValidPrefix(m.prefix)) return Protocol("malformed full request");
  std::vector<Zp> local = view_.Elements(m.prefix);
  std::vector<Zp> remote = m.elements;
  std::sort(local.begin(), local.end());
  std::sort(remote.begin(), remote.end());
  std::vector<Zp> localOnly, remoteOnly;
  std::set_difference(local.begin(), local.end(), remote.begin(), remote.end(),
                      std::back_inserter(localOnly));
  std::set_difference(remote.begin(), remote.end(), local.begin(), local.end(),
                      std::back_inserter(remoteOnly));
  QueueElements(MsgType::kElements, std::move(localOnly));
  return Learn(remoteOnly);
}

int Session::Answer() {
  for (;;) {
    Message m;
    int st = ch_.ReadMessage(&m);
    if (st != kReconOk) return st;
    switch (m.type) {
      case MsgType::kReconRqstPoly:
        st = AnswerPoly(m);
        break;
      case MsgType::kReconRqstFull:
        st = AnswerFull(m);
        break;
      case MsgType::kElements:
        st = Learn(m.elements);
        break;
      case MsgType::kFlush:
        st = ch_.Flush();
        break;
      case MsgType::kDone:
        return ch_.Flush();
      case MsgType::kError:
        return Protocol("peer reported an error: " + m.text);
      default:
        return Protocol(std::string("unexpected ") + MsgTypeName(m.type));
    }
    if (st != kReconOk) return st;
  }
}

int Session::SendRequest(const Request& r) {
  Message m;
  m.prefix = r.prefix;
  if (r.full) {
    m.type = MsgType::kReconRqstFull;
    m.elements = view_.Elements(r.prefix);
  } else {
    ReconView::NodeInfo n = view_.Node(r.prefix);
    m.type = MsgType::kReconRqstPoly;
    m.size = (int64_t)n.size;
    m.samples = std::move(n.samples);
  }
  ch_.Queue(m);
  return kReconOk;
}

int Session::HandleReply(const Request& r, const Message& m) {
  switch (m.type) {
    case MsgType::kElements:
      return Learn(m.elements);
    case MsgType::kSyncFail:
      if (r.full) return Protocol("sync failure in answer to a full request");
      return kReconOk;  // the caller recurses
    case MsgType::kFullElements: {
      if (r.full) return Protocol("full elements in answer to a full request");
      Message asFull;
      asFull.prefix = r.prefix;
      asFull.elements = m.elements;
      return AnswerFull(asFull);
    }
    case MsgType::kError:
      return Protocol("peer reported an error: " + m.text);
    default:
      return Protocol(std::string("unexpected ") + MsgTypeName(m.type));
  }
}

int Session::Drive() {
  std::deque<Request> work = {Request{Prefix(), false}};
  while (!work.empty()) {
    std::vector<Request> batch;
    while (!work.empty() && batch.size() < kBatch) {
      batch.push_back(std::move(work.front()));
      work.pop_front();
      SendRequest(batch.back());
    }
    Message flush;
    flush.type = MsgType::kFlush;
    ch_.Queue(flush);
    int st = ch_.Flush();
    for (const Request& r : batch) {
      Message m;
      if (st == kReconOk) st = ch_.ReadMessage(&m);
      if (st == kReconOk) st = HandleReply(r, m);
      if (st != kReconOk) return st;
      if (m.type != MsgType::kSyncFail) continue;
      ReconView::NodeInfo n = view_.Node(r.prefix);
      if (n.leaf || r.prefix.bits + p_.bitQuantum > 8 * Zp::kBytes) {
        work.push_back(Request{r.prefix, true});
      } else {
        for (int i = 0; i < (1 << p_.bitQuantum); ++i) {
          work.push_back(Request{r.prefix.Child(i, p_.bitQuantum), false});
        }
      }
    }
  }
  Message done;
  done.type = MsgType::kDone;
  ch_.Queue(done);
  return ch_.Flush();
}

}  // namespace

int RunReconSession(int fd, bool initiator, const ReconSet& set, const ReconParams& p,
                    int ourHttpPort, const SessionLimits& lim, SessionResult* out) {
  *out = SessionResult();
  // The tree's shape and samples follow the set's own parameters; announcing
  // others would pass the handshake and then answer nonsense.
  const ReconParams& own = set.Params();
  if (own.bitQuantum != p.bitQuantum || own.mbar != p.mbar) {
    out->failure = "the set was built with other parameters";
    return kReconConfigMismatch;
  }
  Session s(fd, set, p, lim, out);
  return s.Run(initiator, ourHttpPort);
}

}  // namespace recon
