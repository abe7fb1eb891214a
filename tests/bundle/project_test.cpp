// Project bundles: what the walk ships and leaves out, the caps, the refusals, the root
// rule, the bootstrap's unpacked tree, and the module bundle's shortfalls.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "agent/bundle/project.h"
#include "agent/bundle/project_imports.h"
#include "agent/platform/files.h"
#include "tests/bundle/project_corpus.h"

namespace pelmora {
namespace {

using testing::TempDir;

std::map<std::string, std::string> left_out_map(const ProjectSelection& s) {
  std::map<std::string, std::string> m;
  for (const LeftOutEntry& l : s.left_out) m[l.path] = l.reason;
  return m;
}

std::set<std::string> shipped(const ProjectSelection& s) {
  std::set<std::string> paths;
  for (const ProjectEntry& e : s.entries) paths.insert(e.path);
  return paths;
}

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

// A project with one of everything the walk decides on.
struct MixedProject {
  TempDir dir;
  TempDir outside;
  MixedProject() {
    dir.write("main.py", "import helper\nprint(helper.X)\n");
    dir.write("helper.py", "X = 1\n");
    dir.write(".git/HEAD", "ref: refs/heads/main\n");
    dir.write("pkg/__pycache__/m.cpython-311.pyc", "x");
    dir.write("pkg/mod.py", "");
    dir.write("venv/pyvenv.cfg", "home = /usr/bin\n");
    dir.write("venv/lib/site.py", "");
    dir.write("node_modules/left/index.js", "");
    dir.write(".mypy_cache/x.json", "{}");
    dir.write(".env", "TOKEN=1\n");
    dir.write(".env.example", "TOKEN=\n");
    dir.write("deploy/id_rsa", "key");
    dir.write("certs/site.pem", "pem");
    dir.write("home/.aws/credentials", "[default]\n");
    dir.write(".pelmoraignore", "!.env.example\n");
    dir.write("big.bin", std::string(5000, 'x'));
    dir.write("empty.txt", "");
    dir.write("n\xffm/\xe9t\xe9.txt", "latin-1 name\n");
    dir.write("run.sh", "#!/bin/sh\necho hi\n");
    ::chmod((dir.path() + "/run.sh").c_str(), 0755);
    outside.write("secret.txt", "outside");
    std::filesystem::create_symlink(outside.path() + "/secret.txt", dir.path() + "/out_link");
    std::filesystem::create_symlink("empty.txt", dir.path() + "/in_link");
    std::filesystem::create_symlink(dir.path() + "/pkg", dir.path() + "/deploy/pkg_link");
  }
};

TEST(ProjectFiles, ShipsTheProjectAndSaysWhyEverythingElseStays) {
  MixedProject p;
  const ProjectSelection s = select_project_files(p.dir.path(), 4096);
  EXPECT_EQ(shipped(s), (std::set<std::string>{".env.example", ".pelmoraignore", "deploy/pkg_link",
                                               "empty.txt", "helper.py", "in_link", "main.py",
                                               "n\xffm/\xe9t\xe9.txt", "pkg/mod.py", "run.sh"}));
  const auto left = left_out_map(s);
  const std::map<std::string, std::string> expected_reasons = {
      {".git/", "version control"},
      {"pkg/__pycache__/", "Python byte-code cache"},
      {"venv/", "virtual environment"},
      {"node_modules/", "node modules"},
      {".mypy_cache/", "tool cache"},
      {".env", "may hold a secret"},
      {"deploy/id_rsa", "may hold a secret"},
      {"certs/site.pem", "may hold a secret"},
      {"home/.aws/credentials", "may hold a secret"},
      {"big.bin", "larger than the cap per file (5000 > 4096 bytes)"},
      {"out_link", "symbolic link that leads out of the project"},
  };
  EXPECT_EQ(left.size(), expected_reasons.size());
  for (const auto& [path, reason] : expected_reasons) {
    ASSERT_TRUE(left.count(path)) << path;
    EXPECT_TRUE(left.at(path).starts_with(reason)) << path << ": " << left.at(path);
  }
  for (const ProjectEntry& e : s.entries) {
    EXPECT_EQ(e.executable, e.path == "run.sh") << e.path;
    if (e.path == "deploy/pkg_link") {
      EXPECT_EQ(e.link_target, "../pkg");
    }
    if (e.path == "in_link") {
      EXPECT_EQ(e.link_target, "empty.txt");
    }
  }
}

TEST(ProjectBundle, UnpacksTheSameTreeAndIsByteIdentical) {
  if (!testing::have_python3()) GTEST_SKIP() << "python3 is not installed";
  MixedProject p;
  const std::string show =
      "import os, sys\n"
      "print(sys.argv, os.path.basename(os.getcwd()))\n"
      "for d, dirs, files in sorted(os.walk('.')):\n"
      "    for f in sorted(files):\n"
      "        q = os.path.join(d, f)\n"
      "        link = os.readlink(q) if os.path.islink(q) else ''\n"
      "        print(ascii(q), os.path.getsize(q), oct(os.lstat(q).st_mode & 0o111), link)\n";
  p.dir.write("show.py", show);
  const ProjectRequest request{.script = "show.py", .args = {"-v", "\xff"}, .cwd = p.dir.path(),
                               .home = "/nonexistent", .limits = {.max_file = 4096}};
  const ProjectBundle first = build_project_bundle(request);
  EXPECT_EQ(build_project_bundle(request).text, first.text);

  TempDir empty;
  empty.write("job.py", first.text);
  const std::string root_name = std::filesystem::path(p.dir.path()).filename().string();
  const std::string out = testing::run_python3(empty.path(), "job.py", {});
  EXPECT_EQ(out,
            "exit 0\n['show.py', '-v', '\\udcff'] " + root_name + "\n"
            "'./.env.example' 7 0o0 \n"
            "'./.pelmoraignore' 14 0o0 \n"
            "'./empty.txt' 0 0o0 \n"
            "'./helper.py' 6 0o0 \n"
            "'./in_link' 0 0o111 empty.txt\n"
            "'./main.py' 30 0o0 \n"
            "'./run.sh' 18 0o111 \n"
            "'./show.py' " + std::to_string(show.size()) + " 0o0 \n"
            "'./n\\udcffm/\\udce9t\\udce9.txt' 13 0o0 \n"
            "'./pkg/mod.py' 0 0o0 \n");
  // A second run beside the first unpacks into a directory of its own.
  const std::string again = testing::run_python3(empty.path(), "job.py", {});
  EXPECT_NE(again.find("['show.py', '-v', '\\udcff'] " + root_name + "-2\n"), std::string::npos) << again;
}

TEST(ProjectBundle, TheTotalCapLeavesOutTheLargestFilesFirst) {
  TempDir dir;
  dir.write("main.py", "import model\n");
  dir.write("model.py", "W = 1\n");
  dir.write("weights.bin", random_bytes(60000, 1));
  dir.write("noise.bin", random_bytes(30000, 2));
  dir.write("notes.txt", std::string(200000, 'a'));  // compresses to almost nothing
  const ProjectBundle b = build_project_bundle(
      {.script = "main.py", .cwd = dir.path(), .home = "/nonexistent", .limits = {.max_compressed = 50000}});
  EXPECT_LE(b.archive_bytes, 50000u);
  EXPECT_EQ(shipped(b.selection), (std::set<std::string>{"main.py", "model.py", "noise.bin", "notes.txt"}));
  const auto left = left_out_map(b.selection);
  ASSERT_TRUE(left.count("weights.bin"));
  EXPECT_EQ(left.at("weights.bin"), "over the cap of 50000 compressed bytes for the project");
  EXPECT_NE(project_manifest(b).find("left out: weights.bin  (over the cap"), std::string::npos);
}

TEST(ProjectBundle, RefusesWhenWhatTheScriptNeedsWouldBeLeftOut) {
  struct Case {
    const char* title;
    std::map<std::string, std::string> files;
    std::string message;  // a part of the error
  };
  const std::vector<Case> cases = {
      {"script ignored", {{"main.py", "print(1)\n"}, {".gitignore", "main.py\n"}}, "the script main.py would be left out"},
      {"package module ignored",
       {{"main.py", "from lib.core import f\n"}, {"lib/__init__.py", ""}, {"lib/core.py", "def f(): pass\n"},
        {".gitignore", "core.py\n"}},
       "lib/core.py, which the script imports, would be left out (lib/core.py: ignored by .gitignore line 1)"},
      {"relative import in a directory left out",
       {{"app/main.py", "import pkg\n"}, {"app/pkg/__init__.py", "from .deep import x\n"},
        {"app/pkg/deep/__init__.py", "x = 1\n"}, {"app/pkg/.pelmoraignore", "deep/\n"}},
       "app/pkg/deep/__init__.py, which the script imports, would be left out (app/pkg/deep/"},
      {"imported module over the cap per file",
       {{"main.py", "import table\n"}, {"table.py", "T = '" + std::string(3000, 'x') + "'\n"}},
       "table.py, which the script imports, would be left out (table.py: larger than the cap per file"},
      {"needed files alone over the total cap",
       {{"main.py", "import blob\n"}, {"blob.py", "B = 1\n"}},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir dir;
    for (const auto& [path, bytes] : c.files) dir.write(path, bytes);
    const std::string script = c.files.count("main.py") ? "main.py" : "app/main.py";
    ProjectLimits limits{.max_compressed = c.message.empty() ? 64u : 1u << 20, .max_file = 2048};
    try {
      build_project_bundle({.script = script, .cwd = dir.path(), .home = "/nonexistent", .limits = limits});
      ADD_FAILURE() << "no refusal";
    } catch (const ProjectError& e) {
      const std::string what = e.what();
      if (c.message.empty()) {
        EXPECT_NE(what.find("over the cap of 64 compressed bytes"), std::string::npos) << what;
      } else {
        EXPECT_NE(what.find(c.message), std::string::npos) << what;
      }
    }
  }
}

TEST(ProjectRoot, WorkingDirectoryWhenTheScriptIsUnderItElseTheScriptsDirectory) {
  EXPECT_EQ(project_root("train.py", "/w/proj", "/root"), "/w/proj");
  EXPECT_EQ(project_root("scripts/run.py", "/w/proj", "/root"), "/w/proj");
  EXPECT_EQ(project_root("/w/proj/a/b.py", "/w/proj/", "/root"), "/w/proj");
  EXPECT_EQ(project_root("../other/x.py", "/w/proj", "/root"), "/w/other");
  EXPECT_EQ(project_root("/w/projx/x.py", "/w/proj", "/root"), "/w/projx");
  EXPECT_EQ(project_root("work/x.py", "/root", "/root"), "/root/work");     // home itself
  EXPECT_EQ(project_root("work/x.py", "/root", "/root/"), "/root/work");
  EXPECT_EQ(project_root("srv/app/x.py", "/", "/root"), "/srv/app");        // the root itself
}

TEST(ModuleBundleShortfall, NamesWhatTheModuleBundleCannotCarry) {
  const std::map<std::string, std::string> expected = {
      {"relative_imports", "package 'models' uses relative imports"},
      {"dotted_submodules", "package 'pkg' is imported with its submodule 'pkg.sub'"},
      {"namespace_package", "'tasks' is a directory of modules without __init__.py"},
      {"src_layout", "the script changes sys.path"},
      {"file_beside_module", "module 'vocab' uses __file__"},
      {"flat_modules", ""},
      {"cwd_data", ""},
  };
  for (const auto& [name, cause] : expected) {
    SCOPED_TRACE(name);
    for (const testing::CorpusProject& p : testing::project_corpus()) {
      if (p.name != name) continue;
      const std::string script =
          std::string(PELMORA_TEST_DATA_DIR) + "/projects/" + name + "/" + p.script;
      EXPECT_EQ(module_bundle_shortfall(read_text_file(script), script).value_or(""), cause);
    }
  }
}

TEST(ScanImports, ReadsLevelsModulesAndNames) {
  const std::vector<ImportRef> refs = scan_imports(
      "import a.b as c, d\n"
      "from ..m.n import (x, y as z,)\n"
      "def f():\n    from . import w\n"
      "s = 'import not_me'\n"
      "from __future__ import annotations; import e\n");
  ASSERT_EQ(refs.size(), 6u);
  EXPECT_EQ(refs[0].module, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(refs[1].module, (std::vector<std::string>{"d"}));
  EXPECT_EQ(refs[2].level, 2u);
  EXPECT_EQ(refs[2].module, (std::vector<std::string>{"m", "n"}));
  EXPECT_EQ(refs[2].names, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(refs[3].level, 1u);
  EXPECT_EQ(refs[3].names, (std::vector<std::string>{"w"}));
  EXPECT_EQ(refs[5].module, (std::vector<std::string>{"e"}));
}

}  // namespace
}  // namespace pelmora
