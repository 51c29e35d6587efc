#include "probe/grelt.hpp"

#include <gtest/gtest.h>
