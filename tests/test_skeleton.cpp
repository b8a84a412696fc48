#include <gtest/gtest.h>

#include "zivevuva.h"

TEST(Skeleton, Builds) { SUCCEED(); }
