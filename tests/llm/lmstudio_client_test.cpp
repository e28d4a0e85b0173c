#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/llm/lmstudio_client.h"
#include "tests/support/fake_lmstudio.h"

namespace klarion {
namespace {
using ::testing::IsEmpty;
TEST(LmStudioClient, ListsModels) {
  FakeLmStudio fake;
  ASSERT_TRUE(fake.start());
  LmStudioClient client(fake.baseUrl());
  LmReply r = client.listModels(std::chrono::milliseconds(2000));
  EXPECT_TRUE(r.answered()) << r.errorText;
  EXPECT_EQ(r.status, 200);
  EXPECT_THAT(r.body, ::testing::HasSubstr("qwen2.5-7b-instruct"));
  EXPECT_THAT(fake.violations(), IsEmpty());
}
}  // namespace
}  // namespace klarion
