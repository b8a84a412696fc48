// zv-msg: makes and inspects a message-text library (the six msgtext,
// msgansi and msgrip files that doors read their prompts from).
//
//   zv-msg build SOURCE DIR          turn a library source into the six files
//   zv-msg list DIR                  every label of every flavour
//   zv-msg get DIR FLAVOUR LABEL     the bytes a door gets for LABEL
//   zv-msg check DIR                 look the six files over
//
// The source format is described in docs/message-library.md and shown in
// samples/msg/sample.msgsrc. Exit status: 0 done, 1 a problem with the
// source, the library or the label, 2 wrong use or files that cannot be
// opened.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bplus.h"
#include "dbfutl.h"
#include "zivevuva.h"

namespace {

using namespace zv;

const char* const flavour_names[MSG_FLAVOURS] = {"text", "ansi", "rip"};
const char* const index_files[MSG_FLAVOURS] = {"msgtext.dbf", "msgansi.dbf", "msgrip.dbf"};
const char* const data_files[MSG_FLAVOURS] = {"msgtext.dat", "msgansi.dat", "msgrip.dat"};

int usage() {
  std::fprintf(stderr,
               "usage: zv-msg build SOURCE DIR\n"
               "       zv-msg list DIR\n"
               "       zv-msg get DIR FLAVOUR LABEL   (FLAVOUR: 0|1|2 or text|ansi|rip)\n"
               "       zv-msg check DIR\n");
  return 2;
}

std::string in_dir(const std::string& dir, const char* file) {
  if (dir.empty()) return file;
  return dir.back() == '/' ? dir + file : dir + "/" + file;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// ---- The source ----

struct message {
  std::string label;
  int line = 0;                       // where its @msg stands
  std::string text[MSG_FLAVOURS];     // decoded texts
  bool given[MSG_FLAVOURS] = {};      // flavours written in the source
};

struct parser {
  std::string source;
  std::vector<message> messages;
  std::map<std::string, int> seen;  // lower-cased label -> line
  int errors = 0;

  // Section being read: its message, flavour and raw lines.
  int flavour = -1;
  int section_line = 0;
  std::vector<std::pair<int, std::string>> lines;

  void error(int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: %s\n", source.c_str(), line, what.c_str());
    ++errors;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Decodes one text line; a final lone backslash means "no line end".
  std::string decode(int line, const std::string& raw, bool& line_end) {
    std::string out;
    line_end = true;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      const char c = raw[i];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i + 1 == raw.size()) {
        line_end = false;
        break;
      }
      const char e = raw[++i];
      switch (e) {
        case 'e': out.push_back('\x1b'); break;
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case '0': out.push_back('\0'); break;
        case '\\': out.push_back('\\'); break;
        case '@': out.push_back('@'); break;
        case 'x': {
          const int hi = i + 1 < raw.size() ? hex(raw[i + 1]) : -1;
          const int lo = i + 2 < raw.size() ? hex(raw[i + 2]) : -1;
          if (hi < 0 || lo < 0) {
            error(line, "\\x needs two hexadecimal digits");
            return out;
          }
          out.push_back(static_cast<char>(hi * 16 + lo));
          i += 2;
          break;
        }
        default:
          error(line, std::string("unknown escape \\") + e);
          return out;
      }
    }
    return out;
  }

  void finish_section() {
    if (flavour < 0) return;
    while (!lines.empty() && trim(lines.back().second).empty()) lines.pop_back();
    std::string text;
    for (const auto& [line, raw] : lines) {
      bool line_end = true;
      text += decode(line, raw, line_end);
      if (line_end) text.push_back('\r');
    }
    message& m = messages.back();
    m.text[flavour] = text;
    m.given[flavour] = true;
    lines.clear();
    flavour = -1;
  }

  void start_message(int line, const std::string& label) {
    finish_section();
    if (label.empty()) {
      error(line, "@msg needs a label");
    } else if (label.size() > static_cast<std::size_t>(MSG_LABEL_MAX)) {
      error(line, "label longer than 99 characters");
    } else {
      for (char c : label)
        if (static_cast<unsigned char>(c) < 32 || c == 127) {
          error(line, "label holds a control character");
          break;
        }
      const auto it = seen.find(lower(label));
      if (it != seen.end())
        error(line, "label " + label + " given twice (first at line " + std::to_string(it->second) +
                        "; labels are the same whatever their case)");
      else
        seen[lower(label)] = line;
    }
    message m;
    m.label = label;
    m.line = line;
    messages.push_back(m);
    flavour = MSG_FLAVOUR_TEXT;
    section_line = line;
  }

  void start_flavour(int line, int f) {
    if (messages.empty() || flavour < 0) {
      error(line, std::string("@") + flavour_names[f] + " outside a message");
      return;
    }
    finish_section();
    if (messages.back().given[f]) error(line, std::string("a second @") + flavour_names[f] + " for this label");
    flavour = f;
    section_line = line;
  }

  void read_line(int line, std::string s) {
    if (!s.empty() && s.back() == '\r') s.pop_back();  // sources written with CR LF
    if (!s.empty() && s[0] == '@') {
      const auto sp = s.find_first_of(" \t");
      const std::string word = s.substr(0, sp);
      const std::string rest = sp == std::string::npos ? "" : trim(s.substr(sp));
      if (word.rfind("@#", 0) == 0) return;  // comment
      if (word == "@msg") return start_message(line, rest);
      if (word == "@ansi" || word == "@rip" || word == "@end") {
        if (!rest.empty()) error(line, word + " takes nothing after it");
        if (word == "@ansi") return start_flavour(line, MSG_FLAVOUR_ANSI);
        if (word == "@rip") return start_flavour(line, MSG_FLAVOUR_RIP);
        if (flavour < 0) error(line, "@end outside a message");
        finish_section();
        return;
      }
      error(line, "unknown directive " + word + " (a text line that begins with @ is written \\@)");
      return;
    }
    if (flavour >= 0) {
      lines.emplace_back(line, s);
      return;
    }
    const std::string t = trim(s);
    if (t.empty() || t[0] == '#') return;  // blank lines and comments between messages
    error(line, "text outside a message (start one with @msg LABEL)");
  }

  bool parse(std::istream& in) {
    std::string s;
    int line = 0;
    while (std::getline(in, s)) read_line(++line, s);
    finish_section();
    // A flavour not written falls back to the plain text.
    for (message& m : messages)
      for (int f = 1; f < MSG_FLAVOURS; ++f)
        if (!m.given[f]) m.text[f] = m.text[MSG_FLAVOUR_TEXT];
    return errors == 0;
  }
};

// ---- build ----

bool write_data(const std::string& path, const std::string& bytes) {
  std::FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  return std::fclose(fp) == 0 && ok;
}

int build(const std::string& source, const std::string& dir) {
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "zv-msg: cannot read %s: %s\n", source.c_str(), std::strerror(errno));
    return 2;
  }
  parser p;
  p.source = source;
  if (!p.parse(in)) {
    std::fprintf(stderr, "zv-msg: %d error(s); nothing written\n", p.errors);
    return 1;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "zv-msg: %s is not a directory\n", dir.c_str());
    return 2;
  }
  // Everything is written under new names first and put in place at the
  // end, so a door that opens the library meanwhile sees the old files.
  std::string made[2 * MSG_FLAVOURS];
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    const std::string idx = in_dir(dir, index_files[f]) + ".new";
    const std::string dat = in_dir(dir, data_files[f]) + ".new";
    made[2 * f] = idx;
    made[2 * f + 1] = dat;
    index_desc desc;
    if (make_index(idx.c_str(), &desc, 0) != 1) {
      std::fprintf(stderr, "zv-msg: cannot create %s: %s\n", idx.c_str(), std::strerror(errno));
      return 2;
    }
    std::string bytes;
    for (const message& m : p.messages) {
      index_entry e{};
      std::memcpy(e.key, m.label.c_str(), m.label.size() + 1);
      e.recptr = static_cast<int32_t>(bytes.size());
      e.reclen = static_cast<int32_t>(m.text[f].size());
      if (add_key(&e, &desc) != 1) {
        std::fprintf(stderr, "zv-msg: label %s could not be added\n", m.label.c_str());
        close_index(&desc);
        return 1;
      }
      bytes += m.text[f];
    }
    close_index(&desc);
    if (!write_data(dat, bytes)) {
      std::fprintf(stderr, "zv-msg: cannot write %s: %s\n", dat.c_str(), std::strerror(errno));
      return 2;
    }
  }
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    const std::string names[2] = {in_dir(dir, index_files[f]), in_dir(dir, data_files[f])};
    for (int k = 0; k < 2; ++k)
      if (std::rename(made[2 * f + k].c_str(), names[k].c_str()) != 0) {
        std::fprintf(stderr, "zv-msg: cannot put %s in place: %s\n", names[k].c_str(), std::strerror(errno));
        return 2;
      }
  }
  int given[MSG_FLAVOURS] = {};
  for (const message& m : p.messages)
    for (int f = 0; f < MSG_FLAVOURS; ++f) given[f] += m.given[f] ? 1 : 0;
  std::printf("%zu labels: %d with ANSI texts, %d with RIP texts (the others use the plain text)\n",
              p.messages.size(), given[1], given[2]);
  return 0;
}

// ---- list, check ----

struct stored {
  std::string label;
  int32_t recptr, reclen;
};

// Reads every key of a flavour's index in order. Returns false (with a
// message) when the index cannot be opened.
bool read_index(const std::string& dir, int f, std::vector<stored>& out) {
  const std::string idx = in_dir(dir, index_files[f]);
  index_desc desc;
  if (open_index(idx.c_str(), &desc, 0) != 1) {
    std::fprintf(stderr, "zv-msg: cannot open %s: %s\n", idx.c_str(), std::strerror(errno));
    return false;
  }
  index_entry e;
  first_key(&desc);
  while (next_key(&e, &desc) == 1) out.push_back({e.key, e.recptr, e.reclen});
  close_index(&desc);
  return true;
}

int list(const std::string& dir) {
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    std::vector<stored> keys;
    if (!read_index(dir, f, keys)) return 2;
    for (const stored& s : keys) std::printf("%s\t%s\t%d\t%d\n", flavour_names[f], s.label.c_str(), s.recptr, s.reclen);
  }
  return 0;
}

int check(const std::string& dir) {
  int problems = 0;
  std::set<std::string> labels[MSG_FLAVOURS];
  bool readable[MSG_FLAVOURS] = {};
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    const std::string idx = in_dir(dir, index_files[f]);
    const std::string dat = in_dir(dir, data_files[f]);
    struct stat st;
    if (::stat(dat.c_str(), &st) != 0) {
      std::fprintf(stderr, "zv-msg: cannot open %s: %s\n", dat.c_str(), std::strerror(errno));
      return 2;
    }
    if (::access(idx.c_str(), R_OK | W_OK) != 0) {
      std::printf("%s: doors cannot open it for reading and writing: %s\n", idx.c_str(), std::strerror(errno));
      ++problems;
    }
    index_check_report report;
    const int sound = check_index(idx.c_str(), 0, &report);
    if (sound < 0) {
      std::fprintf(stderr, "zv-msg: cannot read %s\n", idx.c_str());
      return 2;
    }
    if (sound == 0) {
      std::printf("%s: %s\n", idx.c_str(), report.detail);
      ++problems;
      continue;  // its keys cannot be trusted
    }
    std::vector<stored> keys;
    if (!read_index(dir, f, keys)) return 2;
    long long bytes = 0;
    for (const stored& s : keys) {
      labels[f].insert(lower(s.label));
      bytes += s.reclen;
      if (s.recptr < 0 || s.reclen < 0 || static_cast<long long>(s.recptr) + s.reclen > st.st_size) {
        std::printf("%s: label %s: text at %d, %d bytes, lies outside %s (%lld bytes)\n", idx.c_str(),
                    s.label.c_str(), s.recptr, s.reclen, data_files[f], static_cast<long long>(st.st_size));
        ++problems;
      }
    }
    readable[f] = true;
    std::printf("%s: %zu labels, %lld bytes of text\n", flavour_names[f], keys.size(), bytes);
  }
  // A label that a flavour lacks gives doors of that flavour an error text.
  for (int f = 0; f < MSG_FLAVOURS; ++f)
    for (int g = 0; g < MSG_FLAVOURS; ++g) {
      if (f == g || !readable[f] || !readable[g]) continue;
      for (const std::string& l : labels[f])
        if (labels[g].count(l) == 0) {
          std::printf("label %s is in %s but not in %s\n", l.c_str(), index_files[f], index_files[g]);
          ++problems;
        }
    }
  if (problems == 0) std::printf("sound\n");
  return problems == 0 ? 0 : 1;
}

// ---- get ----

int parse_flavour(const std::string& s) {
  if (s == "0" || s == "text" || s == "plain") return 0;
  if (s == "1" || s == "ansi") return 1;
  if (s == "2" || s == "rip") return 2;
  return -1;
}

int get(const std::string& dir, const std::string& flavour_text, const std::string& label) {
  const int flavour = parse_flavour(flavour_text);
  if (flavour < 0) return usage();
  // A door whose library is incomplete ends; here the files are checked
  // first so that the tool can say which one is missing.
  long long longest = 0;
  for (int f = 0; f < MSG_FLAVOURS; ++f)
    for (const char* name : {index_files[f], data_files[f]}) {
      const std::string path = in_dir(dir, name);
      struct stat st;
      if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "zv-msg: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
      }
      if (name == data_files[f] && st.st_size > longest) longest = st.st_size;
    }
  if (::chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "zv-msg: cannot enter %s: %s\n", dir.c_str(), std::strerror(errno));
    return 2;
  }
  static cfg_rec home{};
  std::strcpy(home.bbs_path, "./");
  cfg = &home;

  // Room for any text of the library and for an error text naming the label.
  std::vector<char> buf(static_cast<std::size_t>(longest) + label.size() + 256);
  std::snprintf(buf.data(), buf.size(), "MAX:%zu", buf.size());
  const int n = getmsg(flavour, label.c_str(), buf.data());
  std::fwrite(buf.data(), 1, static_cast<std::size_t>(n), stdout);
  std::fflush(stdout);

  // Exit status 1 when what was written is an error text.
  bool found = false;
  if (label.size() <= static_cast<std::size_t>(MSG_LABEL_MAX)) {
    index_entry e{};
    std::memcpy(e.key, label.c_str(), label.size() + 1);
    found = locate_key(&e, &msg_files[flavour].desc) == 1;
  }
  close_msg_file();
  return found ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  if (cmd == "build" && argc == 4) return build(argv[2], argv[3]);
  if (cmd == "list" && argc == 3) return list(argv[2]);
  if (cmd == "get" && argc == 5) return get(argv[2], argv[3], argv[4]);
  if (cmd == "check" && argc == 3) return check(argv[2]);
  return usage();
}
