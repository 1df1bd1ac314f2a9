// Raising a ValueError whose text the binding composed.
#pragma once

#include <string>

namespace pyvorl {

// Sized, so that a column name holding NUL characters is shown whole.
void raise_value_error(const std::string& message);

}  // namespace pyvorl
