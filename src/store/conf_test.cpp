#include "store/conf.hpp"

#include <gtest/gtest.h>
