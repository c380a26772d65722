// Fx hash and byte hash against vectors computed independently in Python.
#include <gtest/gtest.h>

#include "index/core/structures/fx_hash.hpp"

namespace vostrel {
namespace {

TEST(FxHash, SingleWordMatchesFormula) {
  // rotl(5 * K, 26) computed in Python.
  EXPECT_EQ(fx_hash_u64(5), 0x4b9fb54366d82d9aULL);
}

}  // namespace
}  // namespace vostrel
