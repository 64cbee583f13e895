// The caller's schema, read from a normalised Python dict on demand.
#pragma once

#include <string>
#include <unordered_set>

#include "common/error.hpp"
#include "lineage/model/schema.hpp"

namespace lineage::binding {

// `tables` maps a folded name ("db.t", and "t" where that is unique) to a
// tuple of column names, as sql_lineage.schema.normalise_schema makes it; None
// for no schema. Only the tables a statement names are ever converted.
class PythonSchema final : public model::Schema {
 public:
  explicit PythonSchema(PyObject* tables) : tables_dict_(tables) {}

 protected:
  const std::vector<std::string>* load(const std::string& key) override;
  bool nothing_to_find() const override {
    return tables_.empty() && (tables_dict_ == nullptr || !PyDict_Check(tables_dict_));
  }

 private:
  PyObject* tables_dict_;  // borrowed for the duration of the call
  std::unordered_set<std::string> missing_;
};

}  // namespace lineage::binding
