#include "hkp/format.h"

#include "util/strutil.h"

namespace kry {

namespace {

std::string EscapeUserID(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == ':' || c == '%' || u < 0x20 || u >= 0x7F) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string Seconds(time_t t) { return t > 0 ? std::to_string(static_cast<long long>(t)) : std::string(); }

std::string Flags(const HkpKey& k, time_t now) {
  std::string f;
  if (k.revoked) f += 'r';
  if (k.expires > 0 && k.expires <= now) f += 'e';
  return f;
}

std::string Date(time_t t) {
  if (t <= 0) return "-";
  struct tm tmv {};
  char text[16] = "-";
  if (gmtime_r(&t, &tmv)) strftime(text, sizeof text, "%Y-%m-%d", &tmv);
  return text;
}

const char* AlgorithmLetter(int algorithm) {
  switch (algorithm) {
    case 1: return "R";
    case 17: return "D";
    case 19: return "E";
    case 22: return "Ed";
    default: return "?";
  }
}

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
         "</title></head>\n<body><h1>" + HtmlEscape(title) + "</h1>\n" + body + "</body></html>\n";
}

}  // namespace

int HkpAlgorithmNumber(const std::string& keyType) {
  if (StrIEquals(keyType, "RSA")) return 1;
  if (StrIEquals(keyType, "DSS/DH")) return 17;
  if (StrIEquals(keyType, "ECDSA")) return 19;
  if (StrIEquals(keyType, "EdDSA")) return 22;
  if (StrIEquals(keyType, "Ed25519")) return 27;
  return 0;
}

time_t HkpParseGeneralizedTime(const std::string& text) {
  if (text.size() != 15 || (text[14] != 'Z' && text[14] != 'z')) return 0;
  for (size_t i = 0; i < 14; ++i)
    if (text[i] < '0' || text[i] > '9') return 0;
  auto num = [&](size_t pos, size_t n) {
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) v = 10 * v + (text[i] - '0');
    return v;
  };
  struct tm tmv {};
  tmv.tm_year = num(0, 4) - 1900;
  tmv.tm_mon = num(4, 2) - 1;
  tmv.tm_mday = num(6, 2);
  tmv.tm_hour = num(8, 2);
  tmv.tm_min = num(10, 2);
  tmv.tm_sec = num(12, 2);
  if (tmv.tm_mon < 0 || tmv.tm_mon > 11 || tmv.tm_mday < 1 || tmv.tm_mday > 31) return 0;
  const time_t t = timegm(&tmv);
  return t < 0 ? 0 : t;
}

std::string HkpMachineIndex(const std::vector<HkpKey>& keys, time_t now) {
  std::string out;
  out.reserve(64 + 160 * keys.size());
  out.append("info:1:").append(std::to_string(keys.size())).append("\n");
  for (const HkpKey& k : keys) {
    // The tail every line of the key ends with: ":created:expires:flags".
    std::string tail = ":";
    tail.append(Seconds(k.created)).append(":").append(Seconds(k.expires)).append(":").append(Flags(k, now));
    tail += '\n';
    out.append("pub:").append(k.fingerprint.empty() ? k.certID : k.fingerprint).append(":");
    if (k.algorithm) out.append(std::to_string(k.algorithm));
    out.append(":");
    if (k.bits) out.append(std::to_string(k.bits));
    out.append(tail);
    for (const HkpUserID& u : k.userIDs) out.append("uid:").append(EscapeUserID(u.text)).append(tail);
  }
  return out;
}

std::string HkpHtmlIndex(const std::vector<HkpKey>& keys, bool verbose, const std::string& search, time_t now) {
  std::string body = "<pre>\n";
  for (const HkpKey& k : keys) {
    const std::string flags = Flags(k, now);
    body += StrFormat("pub  %d%s/<a href=\"/pks/lookup?op=get&amp;search=0x%s\">%s</a> %s", k.bits,
                      AlgorithmLetter(k.algorithm), k.certID.c_str(), k.certID.c_str(), Date(k.created).c_str());
    if (k.revoked) body += " [revoked]";
    if (!flags.empty() && flags.find('e') != std::string::npos) body += " [expired]";
    body += "\n";
    for (const HkpUserID& u : k.userIDs) {
      body += "uid  " + HtmlEscape(u.text) + "\n";
      if (!verbose) continue;
      for (const std::string& s : u.signers) body += "sig  " + HtmlEscape(s) + "\n";
    }
    // As peers show it, so that their users and scripts find it.
    if (!k.digest.empty())
      body += "\t Hash=<a href=/pks/lookup?op=hget&amp;search=" + k.digest + ">" + k.digest + "</a>\n";
    body += "\n";
  }
  body += "</pre>\n";
  return Page("Search results for \"" + search + "\"", body);
}

std::string HkpHtmlKeys(const std::vector<std::string>& blocks, const std::string& search) {
  std::string body;
  for (const std::string& b : blocks) body += "<pre>\n" + HtmlEscape(b) + "\n</pre>\n";
  return Page("Public key for \"" + search + "\"", body);
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace kry
