// Docstrings made from the rows of the table.
#include "operations/row.hpp"

namespace telvaran {

std::string docstring(const Row& row) {
    std::string parameters = row.signature.parameter_text();
    if (row.kind == RowKind::Method || row.kind == RowKind::NoArgsMethod)
        parameters = parameters.empty() ? "$self" : "$self, " + parameters;
    return std::string(row.name()) + "(" + parameters + ")\n--\n\n" + row.text;
}

}  // namespace telvaran
