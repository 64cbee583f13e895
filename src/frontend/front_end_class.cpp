#include "front_end.hpp"

namespace qm {
namespace {

const char* const kSelf[] = {"self"};
const char* const kSql[] = {"sql"};
const char* const kSelfSql[] = {"self", "sql"};

const MethodSpec kMethods[] = {
    {"__init__", "VexloParseMain.__init__(self)", kSelf, 1, Default::kNone, false, front_end_init},
    {"_re_hint", "VexloParseMain._re_hint(sql)", kSql, 1, Default::kNone, true, front_end_re_hint},
    {"_parse_sql", "VexloParseMain._parse_sql(self, sql)", kSelfSql, 2, Default::kNone, false,
     front_end_parse_sql},
};

}  // namespace

MethodTable front_end_methods() {
  return {"VexloParseMain", kMethods, sizeof(kMethods) / sizeof(kMethods[0])};
}

Ref front_end_init(PyObject* const*) { return Ref::borrow(Py_None); }

Ref front_end_re_hint(PyObject* const* args) { return clean_sql(args[0]); }

}  // namespace qm
