#include "analyzer.hpp"

namespace qm {
namespace {

const char* const kSelfTree[] = {"self", "tree"};
const char* const kSelfLevel[] = {"self", "level"};
const char* const kSelfTreeLevel[] = {"self", "tree", "level"};
const char* const kSelfTreeColumnLevel[] = {"self", "tree", "column", "level"};
const char* const kSelectValue[] = {"self", "tree", "select_value_list", "level", "master"};
const char* const kReplace[] = {"self", "full_path", "one", "other"};
const char* const kSearch[] = {"tree", "full_path", "one", "other"};

const MethodSpec kMethods[] = {
    {"__init__", "Analyze.__init__(self, tree)", kSelfTree, 2, Default::kNone, false, analyze_init},
    {"analyze_sql", "Analyze.analyze_sql(self, level=0)", kSelfLevel, 2, Default::kZero, false,
     analyze_analyze_sql},
    {"_analyze_sql_start", "Analyze._analyze_sql_start(self, tree, level)", kSelfTreeLevel, 3,
     Default::kNone, false, analyze_sql_start},
    {"_analyze_from_value", "Analyze._analyze_from_value(self, tree, level)", kSelfTreeLevel, 3,
     Default::kNone, false, analyze_from_value},
    {"_analyze_from_value_master", "Analyze._analyze_from_value_master(self, tree, column, level)",
     kSelfTreeColumnLevel, 4, Default::kNone, false, analyze_from_value_master},
    {"_master_from_value", "Analyze._master_from_value(self, tree, column, level)",
     kSelfTreeColumnLevel, 4, Default::kNone, false, analyze_master_from_value},
    {"_none_master_from_value", "Analyze._none_master_from_value(self, tree, column, level)",
     kSelfTreeColumnLevel, 4, Default::kNone, false, analyze_none_master_from_value},
    {"_check_union", "Analyze._check_union(self, level)", kSelfLevel, 2, Default::kNone, false,
     analyze_check_union},
    {"_get_all_select_value", "Analyze._get_all_select_value(self, tree, level)", kSelfTreeLevel, 3,
     Default::kNone, false, analyze_get_all_select_value},
    {"_analyze_select_value",
     "Analyze._analyze_select_value(self, tree, select_value_list, level, master=None)",
     kSelectValue, 5, Default::kPyNone, false, analyze_select_value},
    {"_analyze_column", "Analyze._analyze_column(self, tree, column, level)", kSelfTreeColumnLevel,
     4, Default::kNone, false, analyze_column},
    {"_analyze_column_asterisk", "Analyze._analyze_column_asterisk(self, tree, column, level)",
     kSelfTreeColumnLevel, 4, Default::kNone, false, analyze_column_asterisk},
    {"_one_replace_other", "Analyze._one_replace_other(self, full_path, one, other)", kReplace, 4,
     Default::kNone, false, analyze_one_replace_other},
    {"_one_search_other", "Analyze._one_search_other(tree, full_path, one, other)", kSearch, 4,
     Default::kNone, true, analyze_one_search_other},
};

}  // namespace

MethodTable analyze_methods() {
  return {"Analyze", kMethods, sizeof(kMethods) / sizeof(kMethods[0])};
}

}  // namespace qm
