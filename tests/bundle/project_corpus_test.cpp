// Every project of the corpus runs as a project bundle, alone in an empty directory and
// without arguments, as it runs in place with its arguments; the module bundle's share is
// counted and reported, not asserted.
#include <gtest/gtest.h>

#include <iostream>

#include "agent/bundle/bundle.h"
#include "agent/bundle/project.h"
#include "agent/platform/files.h"
#include "tests/bundle/project_corpus.h"

namespace pelmora {
namespace {

TEST(ProjectCorpus, EveryProjectRunsAsInPlace) {
  if (!testing::have_python3()) GTEST_SKIP() << "python3 is not installed";
  const auto& corpus = testing::project_corpus();
  std::size_t project_form = 0;
  std::size_t module_form = 0;
  for (const testing::CorpusProject& p : corpus) {
    SCOPED_TRACE(p.name);
    testing::TempDir work;
    const std::string root = testing::copy_project(work, p.name);
    const std::string in_place = testing::run_python3(root, p.script, p.args);
    ASSERT_NE(in_place, "exit 0\n") << "the project prints nothing in place";

    const ProjectBundle bundle =
        build_project_bundle({.script = p.script, .args = p.args, .cwd = root, .home = "/nonexistent"});
    EXPECT_EQ(bundle.root, root);
    testing::TempDir empty;
    empty.write("job.py", bundle.text);
    const std::string shipped = testing::run_python3(empty.path(), "job.py", {});
    EXPECT_EQ(shipped, in_place);
    project_form += shipped == in_place ? 1 : 0;

    const std::string script = join_path(root, p.script);
    testing::TempDir empty2;
    empty2.write("job.py", _bundle_local_modules(read_text_file(script), script));
    module_form += testing::run_python3(empty2.path(), "job.py", {}) == in_place ? 1 : 0;
  }
  std::cout << "corpus: " << project_form << "/" << corpus.size()
            << " run as in place with --project, " << module_form << "/" << corpus.size()
            << " with the module bundle\n";
  ::testing::Test::RecordProperty("project_form", static_cast<int>(project_form));
  ::testing::Test::RecordProperty("module_form", static_cast<int>(module_form));
}

}  // namespace
}  // namespace pelmora
