// The two compact column bodies: a shared parameter (the scale of the
// decimals, the step of the timestamps), then zigzag differences of
// consecutive values.
#pragma once

#include "core/datetime_column.hpp"
#include "core/datetime_step.hpp"
#include "core/decimal_column.hpp"
