// The project bundle: tar writer, gzip stream, bootstrap text, caps.
#include "agent/bundle/project.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <map>
#include <set>

#include <zlib.h>

#include "agent/bundle/project_imports.h"
#include "agent/platform/files.h"
#include "agent/platform/tar.h"
#include "agent/platform/terminal_text.h"

namespace pelmora {

namespace {

constexpr int kLevel = 6;  // gzip's default, as `tar -czf` uses it
// A file whose first bytes do not shrink below this share at level 1 is stored, not
// compressed: random bytes, archives, images.
constexpr std::size_t kSampleBytes = 16 * 1024;
constexpr double kStoreRatio = 0.97;
constexpr std::size_t kBase64LineWidth = 76;

// ---- gzip stream ------------------------------------------------------------------------

// Owns one zlib deflate stream in gzip format (header with time 0, so the output depends on
// the input alone). Output is appended to a string the caller can drain.
class GzipWriter {
 public:
  GzipWriter() {
    if (::deflateInit2(&_z, kLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~GzipWriter() { ::deflateEnd(&_z); }
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  void set_level(int level) {
    if (level == _level) return;
    for (;;) {
      reserve(64 * 1024);
      const int rc = ::deflateParams(&_z, level, Z_DEFAULT_STRATEGY);
      take_output();
      if (rc == Z_OK) break;
      if (rc != Z_BUF_ERROR) throw std::runtime_error("zlib: cannot change the level");
    }
    _level = level;
  }

  void write(std::string_view data) { run(data, Z_NO_FLUSH); }
  void finish() { run({}, Z_FINISH); }

  std::uint64_t total_out() const { return _z.total_out; }
  std::string& output() { return _out; }

 private:
  void reserve(std::size_t room) {
    _used = _out.size();
    _out.resize(_used + room);
    _z.next_out = reinterpret_cast<Bytef*>(_out.data() + _used);
    _z.avail_out = static_cast<uInt>(room);
  }
  void take_output() { _out.resize(_out.size() - _z.avail_out); }

  void run(std::string_view data, int flush) {
    _z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    _z.avail_in = static_cast<uInt>(data.size());
    assert(data.size() == _z.avail_in);
    for (;;) {
      reserve(std::max<std::size_t>(64 * 1024, data.size() / 2 + 1024));
      const int rc = ::deflate(&_z, flush);
      take_output();
      if (rc == Z_STREAM_END) return;
      if (rc != Z_OK && rc != Z_BUF_ERROR) throw std::runtime_error("zlib: deflate failed");
      if (flush == Z_NO_FLUSH && _z.avail_in == 0) return;
    }
  }

  z_stream _z{};
  std::string _out;
  std::size_t _used = 0;
  int _level = kLevel;
};

// True when the start of `data` does not compress: stored blocks cost less time.
bool looks_incompressible(std::string_view data) {
  if (data.size() < 4096) return false;
  const std::string_view sample = data.substr(0, kSampleBytes);
  uLongf size = ::compressBound(static_cast<uLong>(sample.size()));
  std::string out(size, '\0');
  if (::compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(sample.data()), static_cast<uLong>(sample.size()),
                  1) != Z_OK) {
    return false;
  }
  return static_cast<double>(size) >= kStoreRatio * static_cast<double>(sample.size());
}

// ---- archive with shares ----------------------------------------------------------------

struct Archive {
  std::string gzip;
  std::uint64_t compressed = 0;
  std::vector<std::uint64_t> shares;  // compressed bytes each entry took (about)
  std::set<std::string> unreadable;
};

// Compresses `entries`; beyond `keep_limit` compressed bytes the output is dropped and only
// counted, and beyond 4 * keep_limit the shares are estimated by size.
Archive make_archive(const std::string& root, const std::vector<ProjectEntry>& entries,
                     std::vector<LeftOutEntry>& left_out, std::uint64_t keep_limit) {
  Archive archive;
  GzipWriter gz;
  bool dropping = false;
  for (const ProjectEntry& e : entries) {
    const std::uint64_t before = gz.total_out();
    if (dropping && before > 4 * keep_limit) {
      archive.shares.push_back(e.size);
      continue;
    }
    if (e.symlink) {
      gz.write(tar_entry_headers(e.path, '2', 0, 0777, 0, e.link_target));
    } else {
      std::string data;
      try {
        data = read_file_bytes(join_path(root, e.path));
      } catch (const FileError& err) {
        left_out.push_back({e.path, std::string("cannot be read: ") + err.what()});
        archive.unreadable.insert(e.path);
        archive.shares.push_back(0);
        continue;
      }
      gz.set_level(kLevel);
      gz.write(tar_entry_headers(e.path, '0', data.size(), e.executable ? 0755 : 0644, 0, {}));
      if (looks_incompressible(data)) gz.set_level(0);
      gz.write(data);
      gz.write(tar_padding(data.size()));
    }
    archive.shares.push_back(gz.total_out() - before);
    if (gz.total_out() > keep_limit) {
      dropping = true;
      gz.output().clear();
    }
  }
  gz.set_level(kLevel);
  gz.write(std::string(2 * kTarBlock, '\0'));
  gz.finish();
  archive.compressed = gz.total_out();
  if (!dropping) archive.gzip = std::move(gz.output());
  return archive;
}

// ---- text -------------------------------------------------------------------------------

std::string base64_lines(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  const std::size_t chars = (data.size() + 2) / 3 * 4;
  out.reserve(chars + chars / kBase64LineWidth + 2);
  std::size_t column = 0;
  auto put = [&](char c) {
    out += c;
    if (++column == kBase64LineWidth) {
      out += '\n';
      column = 0;
    }
  };
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const unsigned v = (unsigned{p[i]} << 16) | (unsigned{p[i + 1]} << 8) | p[i + 2];
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < data.size()) {
    unsigned v = unsigned{p[i]} << 16;
    if (i + 1 < data.size()) v |= unsigned{p[i + 1]} << 8;
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  if (column != 0) out += '\n';
  return out;
}

// A Python bytes literal of `bytes`.
std::string bytes_literal(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "b'";
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c >= 0x20 && c < 0x7f) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += '\'';
  return out;
}

constexpr std::string_view kBootstrapHead =
    "# pelmora project bundle: the project's files (a tar.gz archive in base64, below) and\n"
    "# a bootstrap that unpacks them into a new directory here, changes into it and runs the\n"
    "# script as __main__ with its arguments. Python 3.8 or later, standard library only.\n"
    "def _pelmora_run(root, script, args):\n"
    "    import base64, io, os, runpy, shutil, sys, tarfile\n"
    "    data = base64.b64decode(globals().pop('_PELMORA_ARCHIVE'))\n"
    "    name = os.fsdecode(root) or 'project'\n"
    "    top = os.path.abspath(name)\n"
    "    n = 1\n"
    "    while True:\n"
    "        try:\n"
    "            os.mkdir(top)\n"
    "            break\n"
    "        except FileExistsError:\n"
    "            n += 1\n"
    "            top = os.path.abspath('%s-%d' % (name, n))\n"
    "    with tarfile.open(fileobj=io.BytesIO(data), mode='r:gz') as tar:\n"
    "        for member in tar:\n"
    "            parts = member.name.split('/')\n"
    "            if member.name.startswith('/') or any(p in ('', '.', '..') for p in parts):\n"
    "                sys.exit('pelmora: bad archive entry %r' % member.name)\n"
    "            path = os.path.join(top, *parts)\n"
    "            os.makedirs(os.path.dirname(path), exist_ok=True)\n"
    "            if member.issym():\n"
    "                os.symlink(member.linkname, path)\n"
    "            elif member.isfile():\n"
    "                with tar.extractfile(member) as src, open(path, 'xb') as dst:\n"
    "                    shutil.copyfileobj(src, dst)\n"
    "                os.chmod(path, 0o755 if member.mode & 0o100 else 0o644)\n"
    "    del data\n"
    "    os.chdir(top)\n"
    "    script = os.fsdecode(script)\n"
    "    sys.argv = [script] + [os.fsdecode(a) for a in args]\n"
    "    sys.path[0] = os.path.dirname(os.path.join(top, script))\n"
    "    runpy.run_path(script, run_name='__main__')\n"
    "\n"
    "\n"
    "_PELMORA_ARCHIVE = \"\"\"\n";

std::string bundle_text(std::string_view gzip, std::string_view root_name, std::string_view script,
                        const std::vector<std::string>& args) {
  std::string text(kBootstrapHead);
  text += base64_lines(gzip);
  text += "\"\"\"\n_pelmora_run(";
  text += bytes_literal(root_name);
  text += ", ";
  text += bytes_literal(script);
  text += ", [";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) text += ", ";
    text += bytes_literal(args[i]);
  }
  text += "])\n";
  return text;
}

bool is_inside(std::string_view path, std::string_view dir) {
  if (dir == "/") return path.size() > 1 && path.front() == '/';
  return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

std::string base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The left-out entry that covers `path` (the file itself, or a directory above it).
const LeftOutEntry* covering(const std::vector<LeftOutEntry>& left_out, const std::string& path) {
  for (const LeftOutEntry& l : left_out) {
    if (l.path == path) return &l;
    if (l.path.ends_with('/') && path.starts_with(l.path)) return &l;
  }
  return nullptr;
}

std::string shown(std::string_view path) { return escape_for_terminal(path); }

}  // namespace

std::string project_root(std::string_view script, std::string_view cwd, std::string_view home) {
  const std::string dir = normalize_path(cwd);
  const std::string script_abs = absolute_path(script, dir);
  const std::string home_dir = home.empty() ? std::string() : normalize_path(home);
  if (dir != "/" && dir != home_dir && is_inside(script_abs, dir)) return dir;
  return parent_dir(script_abs);
}

ProjectBundle build_project_bundle(const ProjectRequest& request) {
  ProjectBundle bundle;
  const std::string cwd = absolute_path(request.cwd);
  const std::string script_abs = absolute_path(request.script, cwd);
  if (!is_regular_file(script_abs)) {
    throw ProjectError("the script " + shown(request.script) + " is not a readable file");
  }
  bundle.root = project_root(request.script, cwd, request.home);
  if (bundle.root == "/") {
    throw ProjectError("the script " + shown(script_abs) +
                       " lies directly in /, which cannot be shipped as a project");
  }
  bundle.script = script_abs.substr(bundle.root.size() + 1);
  try {
    bundle.selection = select_project_files(bundle.root, request.limits.max_file);
  } catch (const FileError& e) {
    throw ProjectError("cannot read the project directory " + shown(bundle.root) + ": " + e.what());
  }
  ProjectSelection& sel = bundle.selection;

  // What the script needs must ship.
  std::vector<std::string> needed = imported_python_files(bundle.root, bundle.script);
  needed.insert(needed.begin(), bundle.script);
  auto refuse_if_left_out = [&](const std::vector<LeftOutEntry>& left_out) {
    for (const std::string& path : needed) {
      if (const LeftOutEntry* l = covering(left_out, path)) {
        const std::string what = path == bundle.script ? "the script " + shown(path)
                                                       : shown(path) + ", which the script imports,";
        throw ProjectError(what + " would be left out (" + shown(l->path) + ": " + l->reason +
                           "); change the ignore rules or the caps, or use the module bundle");
      }
    }
  };
  refuse_if_left_out(sel.left_out);
  const std::set<std::string> needed_set(needed.begin(), needed.end());

  const std::uint64_t cap = request.limits.max_compressed;
  for (int round = 0;; ++round) {
    std::vector<LeftOutEntry> unreadable;
    Archive archive = make_archive(bundle.root, sel.entries, unreadable, cap);
    if (!unreadable.empty()) {
      // The archive holds everything but these already; the list and the shares follow it.
      refuse_if_left_out(unreadable);
      std::vector<ProjectEntry> readable;
      std::vector<std::uint64_t> shares;
      for (std::size_t i = 0; i < sel.entries.size(); ++i) {
        if (archive.unreadable.count(sel.entries[i].path) != 0) continue;
        readable.push_back(std::move(sel.entries[i]));
        shares.push_back(archive.shares[i]);
      }
      sel.entries = std::move(readable);
      archive.shares = std::move(shares);
      sel.left_out.insert(sel.left_out.end(), unreadable.begin(), unreadable.end());
    }
    if (archive.compressed <= cap) {
      bundle.archive_bytes = archive.compressed;
      bundle.bytes = 0;
      for (const ProjectEntry& e : sel.entries) bundle.bytes += e.size;
      bundle.text = bundle_text(archive.gzip, base_name(bundle.root), bundle.script, request.args);
      return bundle;
    }
    // Over the cap: leave out the files with the largest shares until the estimate fits,
    // with some room for the estimate's error.
    std::vector<std::size_t> order(sel.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return archive.shares[a] > archive.shares[b];
    });
    std::uint64_t estimate = archive.compressed;
    const std::uint64_t target = cap - cap / (round < 2 ? 50 : 10);
    std::vector<bool> drop(sel.entries.size(), false);
    bool dropped_any = false;
    for (std::size_t i : order) {
      if (estimate <= target) break;
      if (needed_set.count(sel.entries[i].path) != 0 || archive.shares[i] == 0) continue;
      drop[i] = true;
      dropped_any = true;
      estimate -= std::min(estimate, archive.shares[i]);
    }
    if (!dropped_any) {
      throw ProjectError("the project is over the cap of " + std::to_string(cap) +
                         " compressed bytes even with only the script and the files it imports");
    }
    std::vector<ProjectEntry> kept;
    for (std::size_t i = 0; i < sel.entries.size(); ++i) {
      if (!drop[i]) {
        kept.push_back(std::move(sel.entries[i]));
      } else {
        sel.left_out.push_back({sel.entries[i].path, "over the cap of " + std::to_string(cap) +
                                                         " compressed bytes for the project"});
      }
    }
    sel.entries = std::move(kept);
  }
}

std::string project_manifest(const ProjectBundle& bundle) {
  std::string out;
  std::size_t width = 1;
  for (const ProjectEntry& e : bundle.selection.entries) {
    width = std::max(width, std::to_string(e.size).size());
  }
  for (const ProjectEntry& e : bundle.selection.entries) {
    std::string size = e.symlink ? "link" : std::to_string(e.size);
    out += std::string(width > size.size() ? width - size.size() : 0, ' ') + size + "  " + shown(e.path);
    if (e.symlink) out += " -> " + shown(e.link_target);
    if (e.executable) out += "  (executable)";
    out += '\n';
  }
  for (const LeftOutEntry& l : bundle.selection.left_out) {
    out += "left out: " + shown(l.path) + "  (" + l.reason + ")\n";
  }
  std::size_t files = 0;
  for (const ProjectEntry& e : bundle.selection.entries) files += e.symlink ? 0 : 1;
  out += "total: " + std::to_string(files) + (files == 1 ? " file, " : " files, ") +
         std::to_string(bundle.bytes) + " bytes; compressed " + std::to_string(bundle.archive_bytes) +
         " bytes; bundle " + std::to_string(bundle.text.size()) + " bytes; " +
         std::to_string(bundle.selection.left_out.size()) + " left out\n";
  return out;
}

}  // namespace pelmora
