// Schema.describe(): the engine schema as plain Python data for code generators.
#pragma once

#include "python.hpp"

#include "schema.hpp"

namespace vorn::py {

/// The docstring of Schema.describe, signature line included.
extern const char describe_doc[];

/// A new dict from every declared name to its description (object types by name, then unions
/// by name), or nullptr with an error set.
PyObject* describe_schema(const Schema& schema);

}  // namespace vorn::py
