// A job's files over HTTP on the real local runner: the listing, downloads with ranges, the
// archive, hostile contents and hostile paths, another key's job, a project bundle's root.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "agent/bundle/project.h"
#include "agent/platform/data_dir.h"
#include "agent/platform/relative_path.h"
#include "agent/platform/subprocess.h"
#include "service/job_files.h"
#include "service/keys.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::RunningService;
using testing::TempDir;
using testing::body_of;
using testing::raw_get;
using testing::submit_raw;
using testing::wait_for_end;

// A job that leaves every kind of entry, the hostile ones included; OTHER is replaced by
// another job's id.
constexpr const char* kTreeCode = R"(import os
os.makedirs('out/deep/er', exist_ok=True)
open('out/deep/er/n.txt', 'w').write('nested\n')
open('bin.dat', 'wb').write(bytes(range(256)) * 4099)
open('empty', 'w').close()
open('run.sh', 'w').write('#!/bin/sh\necho hi\n')
os.chmod('run.sh', 0o755)
os.symlink('/etc/passwd', 'passwd')
os.symlink('../OTHER', 'other_job')
os.mkfifo('fifo')
open('new\nline', 'w').write('n')
open('\x1b[31mred', 'w').write('r')
open(b'caf\xe9', 'wb').write(b'c')
)";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

httplib::Result get_with(const std::string& url, const std::string& path, const std::string& key,
                         httplib::Headers headers) {
  httplib::Client client(url);
  client.set_read_timeout(20, 0);
  headers.emplace("Authorization", "Bearer " + key);
  return client.Get(path.c_str(), headers);
}

class JobFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = 2;
    o.limits.page_max_entries = 4;  // several pages for the listing
    service = std::make_unique<RunningService>(o);
    other = submit_raw(service->url(), service->key(), "open('secret', 'w').write('theirs')\n");
    std::string code = kTreeCode;
    code.replace(code.find("OTHER"), 5, other);
    id = submit_raw(service->url(), service->key(), code);
    ASSERT_EQ(wait_for_end(service->url(), service->key(), other)["status"], "completed");
    ASSERT_EQ(wait_for_end(service->url(), service->key(), id)["status"], "completed");
    job_dir = jobs_dir(service->data_dir()) + "/" + id;
  }

  // Every entry of the listing, by raw path, following the pages.
  std::map<std::string, json> listing(int* pages = nullptr) {
    std::map<std::string, json> entries;
    std::int64_t offset = 0;
    for (int count = 1;; ++count) {
      auto res = raw_get(service->url(), "/v1/jobs/" + id + "/files?offset=" + std::to_string(offset),
                         service->key());
      EXPECT_TRUE(res && res->status == 200);
      if (!res || res->status != 200) return entries;
      json page = body_of(res);
      EXPECT_LE(page["files"].size(), 4u);
      for (const json& e : page["files"]) {
        std::string path = e.contains("path") ? e["path"].get<std::string>()
                                              : *base64_decode(e["path_b64"].get<std::string>());
        EXPECT_TRUE(entries.emplace(path, e).second) << "listed twice: " << path;
      }
      offset = page["current_index"];
      if (!page["more"].get<bool>()) {
        if (pages != nullptr) *pages = count;
        return entries;
      }
    }
  }

  TempDir dir;
  std::unique_ptr<RunningService> service;
  std::string other;
  std::string id;
  std::string job_dir;
};

TEST_F(JobFilesTest, ListingNamesEveryEntryWithoutFollowingLinks) {
  int pages = 0;
  auto entries = listing(&pages);
  EXPECT_GT(pages, 2);
  const std::map<std::string, std::string> expected = {
      {"out", "directory"},     {"out/deep", "directory"}, {"out/deep/er", "directory"},
      {"out/deep/er/n.txt", "file"}, {"bin.dat", "file"}, {"empty", "file"},
      {"run.sh", "file"},       {"passwd", "symlink"},     {"other_job", "symlink"},
      {"fifo", "other"},        {"new\nline", "file"},     {"\x1b[31mred", "file"},
      {"caf\xe9", "file"}};
  ASSERT_EQ(entries.size(), expected.size());  // main.py, the service's, is not listed
  for (const auto& [path, type] : expected) {
    ASSERT_TRUE(entries.count(path)) << path;
    EXPECT_EQ(entries[path]["type"], type) << path;
  }
  EXPECT_TRUE(entries["caf\xe9"].contains("path_b64"));  // not UTF-8: kept as bytes
  EXPECT_EQ(entries["passwd"]["target"], "/etc/passwd");
  EXPECT_EQ(entries["passwd"]["size"], 0);
  EXPECT_EQ(entries["bin.dat"]["size"], 256 * 4099);
  EXPECT_TRUE(entries["run.sh"]["executable"].get<bool>());
  EXPECT_FALSE(entries["bin.dat"]["executable"].get<bool>());
}

TEST_F(JobFilesTest, DownloadsAreByteForByteAndHonourRanges) {
  const std::string whole = slurp(job_dir + "/bin.dat");
  const std::string url = "/v1/jobs/" + id + "/files/bin.dat";
  auto plain = raw_get(service->url(), url, service->key());
  ASSERT_TRUE(plain);
  ASSERT_EQ(plain->status, 200);
  EXPECT_EQ(plain->body, whole);
  const std::string etag = plain->get_header_value("ETag");
  EXPECT_FALSE(etag.empty());
  EXPECT_FALSE(plain->get_header_value("Last-Modified").empty());
  const std::string size = std::to_string(whole.size());

  struct Case {
    std::string range;
    std::string if_range;
    int status;
    std::uint64_t first;
    std::uint64_t length;
  };
  const std::uint64_t n = whole.size();
  for (const Case& c : std::vector<Case>{{"bytes=0-9", "", 206, 0, 10},
                                         {"bytes=1000-", "", 206, 1000, n - 1000},
                                         {"bytes=-5", "", 206, n - 5, 5},
                                         {"bytes=10-99999999", "", 206, 10, n - 10},
                                         {"bytes=10-9", "", 200, 0, n},       // malformed: ignored
                                         {"bytes=0-1,5-6", "", 200, 0, n},    // several: whole
                                         {"bytes=100-", "\"stale\"", 200, 0, n},  // changed: whole
                                         {"bytes=100-", etag, 206, 100, n - 100},
                                         {"bytes=" + size + "-", "", 416, 0, 0},
                                         {"bytes=-0", "", 416, 0, 0}}) {
    SCOPED_TRACE(c.range + " " + c.if_range);
    httplib::Headers headers{{"Range", c.range}};
    if (!c.if_range.empty()) headers.emplace("If-Range", c.if_range);
    auto res = get_with(service->url(), url, service->key(), headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status == 416) {
      EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */" + size);
      continue;
    }
    EXPECT_EQ(res->body, whole.substr(c.first, c.length));
    if (c.status == 206) {
      EXPECT_EQ(res->get_header_value("Content-Range"),
                "bytes " + std::to_string(c.first) + "-" + std::to_string(c.first + c.length - 1) + "/" + size);
    }
  }
  // The names that are not plain text come back by their bytes, percent-encoded.
  for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
           {"new%0Aline", "n"}, {"%1B%5B31mred", "r"}, {"caf%E9", "c"}, {"empty", ""}}) {
    auto res = raw_get(service->url(), "/v1/jobs/" + id + "/files/" + name, service->key());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << name;
    EXPECT_EQ(res->body, content) << name;
  }
}

TEST_F(JobFilesTest, HostilePathsAndContentsAreRefused) {
  struct Case {
    std::string path;  // as sent, after /files/
    int status;
  };
  for (const Case& c : std::vector<Case>{{"passwd", 403},           // a link: never followed
                                         {"other_job/secret", 403},  // a link on the way
                                         {"fifo", 403},              // answered at once, not read
                                         {"out", 403},               // a directory
                                         {"main.py", 404},           // the service's own
                                         {"missing", 404},
                                         {"../" + other + "/secret", 400},
                                         {"%2E%2E/" + other + "/secret", 400},
                                         {"out/../../" + other + "/secret", 400},
                                         {"/etc/passwd", 400},
                                         {"%2Fetc%2Fpasswd", 400},
                                         {"out//deep", 400},
                                         {"out/./deep/er/n.txt", 400},
                                         {"bin.dat%00.txt", 404}}) {
    SCOPED_TRACE(c.path);
    auto res = raw_get(service->url(), "/v1/jobs/" + id + "/files/" + c.path, service->key());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->body.find("root:"), std::string::npos);  // nothing of /etc/passwd
    EXPECT_EQ(res->body.find("theirs"), std::string::npos);
  }
  for (const char* query : {"path=..", "path=%2Fetc", "path=a%00", "path=other_job/secret", "compress=xz"}) {
    auto res = raw_get(service->url(), "/v1/jobs/" + id + "/archive?" + query, service->key());
    ASSERT_TRUE(res);
    EXPECT_NE(res->status, 200) << query;
  }
  // A link archived is a link: what it names is not in the archive.
  auto link = raw_get(service->url(), "/v1/jobs/" + id + "/archive?path=passwd", service->key());
  ASSERT_TRUE(link);
  EXPECT_EQ(link->status, 200);
  EXPECT_EQ(link->body.find("root:"), std::string::npos);
}

TEST_F(JobFilesTest, AnotherKeysJobIsNotFound) {
  std::string bob = add_key(keys_file(service->data_dir()), "bob", {});
  for (const std::string tail : {"/files", "/files/bin.dat", "/archive"}) {
    auto res = raw_get(service->url(), "/v1/jobs/" + id + tail, bob);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404) << tail;
    EXPECT_EQ(res->body.find("256"), std::string::npos);
  }
}

TEST_F(JobFilesTest, ArchiveUnpacksToTheSameFilesAndKeepsLinksAsLinks) {
  auto tar = find_program("tar");
  if (!tar) GTEST_SKIP() << "tar is not installed";
  for (const std::string query : {"", "?compress=gzip", "?path=out/deep"}) {
    SCOPED_TRACE(query);
    auto res = raw_get(service->url(), "/v1/jobs/" + id + "/archive" + query, service->key());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    TempDir into;
    std::ofstream(into.path() + "/a.tar", std::ios::binary) << res->body;
    const std::string flags = query.find("gzip") != std::string::npos ? "-xzf" : "-xf";
    std::filesystem::create_directory(into.path() + "/x");
    SpawnOptions unpack;
    unpack.argv = {*tar, "-C", into.path() + "/x", flags, into.path() + "/a.tar"};
    auto run = run_command(unpack, 60, 64 * 1024);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string x = into.path() + "/x/";
    EXPECT_EQ(slurp(x + "out/deep/er/n.txt"), "nested\n");
    if (query.find("path=") != std::string::npos) {
      EXPECT_FALSE(std::filesystem::exists(x + "bin.dat"));
      continue;
    }
    EXPECT_EQ(slurp(x + "bin.dat"), slurp(job_dir + "/bin.dat"));
    EXPECT_EQ(slurp(x + "caf\xe9"), "c");
    EXPECT_EQ(slurp(x + "new\nline"), "n");
    EXPECT_TRUE(std::filesystem::is_symlink(x + "passwd"));
    EXPECT_FALSE(std::filesystem::exists(x + "fifo"));
    EXPECT_FALSE(std::filesystem::exists(x + "main.py"));
    struct stat st {};
    ASSERT_EQ(stat((x + "run.sh").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
  }
}

TEST(JobFilesProject, FilesAreListedUnderTheDirectoryTheBundleUnpackedInto) {
  TempDir project;
  // Named like the submitted text, which is in the way of the bundle's first choice: it
  // unpacks into main.py-2.
  std::filesystem::create_directories(project.path() + "/main.py");
  std::ofstream(project.path() + "/main.py/train.py")
      << "import os\nos.makedirs('results', exist_ok=True)\n"
         "open('results/r.csv', 'w').write('a,b\\n')\n";
  ProjectBundle bundle = build_project_bundle(
      {.script = "train.py", .args = {}, .cwd = project.path() + "/main.py", .home = "/nonexistent"});
  TempDir dir;
  ServiceOptions o;
  o.data_dir = dir.path() + "/data";
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(), bundle.text);
  ASSERT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
  auto res = raw_get(service.url(), "/v1/jobs/" + id + "/files", service.key());
  ASSERT_TRUE(res);
  json page = body_of(res);
  EXPECT_EQ(page["root"], "main.py-2");
  std::set<std::string> paths;
  for (const json& e : page["files"]) paths.insert(e["path"].get<std::string>());
  EXPECT_EQ(paths, (std::set<std::string>{"results", "results/r.csv", "train.py"}));
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs/" + id + "/files/results/r.csv", service.key())->body, "a,b\n");
}

TEST(ProjectRootName, ReadsTheCallLineOfAProjectBundleOnly) {
  const std::string head = "# pelmora project bundle: the project's files";
  struct Case {
    std::string head;
    std::string tail;
    std::optional<std::string> name;
  };
  for (const Case& c : std::vector<Case>{
           {head, "x\n_pelmora_run(b'proj', b'a.py', [])\n", "proj"},
           {head, "\n_pelmora_run(b'it\\'s \\\\ \\xe9', b'a.py', [])\n", "it's \\ \xe9"},
           {head, "\n_pelmora_run(b'', b'a.py', [])\n", "project"},
           {head, "\n_pelmora_run(b'..', b'a.py', [])\n", std::nullopt},
           {head, "\n_pelmora_run(b'a/b', b'a.py', [])\n", std::nullopt},
           {head, "\n_pelmora_run(b'cut", std::nullopt},
           {"print(1)", "\n_pelmora_run(b'proj', b'a.py', [])\n", std::nullopt}}) {
    EXPECT_EQ(project_root_name(c.head, c.tail), c.name) << c.tail;
  }
}

}  // namespace
}  // namespace pelmora::service
