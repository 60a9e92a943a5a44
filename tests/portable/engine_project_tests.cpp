// The bundle description: the paths the engine is given and the entry-point arguments.
#include "embedding/engine_project.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(EngineProject, PathsAreTheDirectoryOneBackslashAndTheName) {
  const EngineProject project(L"data");
  EXPECT_EQ(project.assetsPath, L"data\\flutter_assets");
  EXPECT_EQ(project.icuDataPath, L"data\\icudtl.dat");
  EXPECT_EQ(project.aotLibraryPath, L"data\\app.so");

  // Taken as given: no separator is added to or removed from the directory.
  const EngineProject absolute(L"C:\\Program Files\\Orvane\\data");
  EXPECT_EQ(absolute.assetsPath, L"C:\\Program Files\\Orvane\\data\\flutter_assets");
}

TEST(EngineProject, StartsWithTheDefaultEntryPointAndNoArguments) {
  const EngineProject project(L"data");
  EXPECT_TRUE(project.entrypoint.empty());
  EXPECT_TRUE(project.entrypointArguments.empty());
  EXPECT_EQ(project.gpuPreference, 0);
  EXPECT_EQ(project.uiThreadPolicy, 0);
}

TEST(EngineProject, ArgumentsAreReplacedWholeAndCopiesStayApart) {
  EngineProject project(L"data");
  project.SetEntrypointArguments({"--first", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"});
  project.SetEntrypointArguments({"only", ""});
  EXPECT_EQ(project.entrypointArguments, (std::vector<std::string>{"only", ""}));

  EngineProject copy = project;
  copy.SetEntrypointArguments({});
  EXPECT_TRUE(copy.entrypointArguments.empty());
  EXPECT_EQ(project.entrypointArguments.size(), 2u);
}

}  // namespace
