// Evaluation of a prepared query. Every evaluation builds its own XPath
// context on the document, binds FLWOR variables in it as libxml2 XPath
// variables and collects the result sequence in return order.
//
// Items of a sequence are nodes or atomic values (boolean, number, string).
// Inside the query any mix is allowed (`for $i in (1, 2) ...`); the final
// result must be a sequence of elements or a single atomic value.
#include "xquery_ast.h"
#include "xquery_functions.h"

#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace korvith::xq {
namespace {

struct ObjDeleter {
  void operator()(xmlXPathObjectPtr obj) const { xmlXPathFreeObject(obj); }
};
using ObjPtr = std::unique_ptr<xmlXPathObject, ObjDeleter>;

struct NodeSetDeleter {
  void operator()(xmlNodeSetPtr set) const { xmlXPathFreeNodeSet(set); }
};
using NodeSetPtr = std::unique_ptr<xmlNodeSet, NodeSetDeleter>;

struct Item {
  xmlNodePtr node = nullptr;                // a node item
  std::shared_ptr<xmlXPathObject> atom;     // or an atomic item
};
using Sequence = std::vector<Item>;

std::shared_ptr<xmlXPathObject> share(ObjPtr obj) {
  return std::shared_ptr<xmlXPathObject>(obj.release(), ObjDeleter{});
}

bool is_node_set(const xmlXPathObject* obj) {
  return obj->type == XPATH_NODESET || obj->type == XPATH_XSLT_TREE;
}

const char* node_kind(const xmlNode* node) {
  switch (node->type) {
    case XML_ATTRIBUTE_NODE: return "an attribute";
    case XML_TEXT_NODE: return "a text";
    case XML_CDATA_SECTION_NODE: return "a CDATA";
    case XML_COMMENT_NODE: return "a comment";
    case XML_PI_NODE: return "a processing-instruction";
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: return "the document";
    case XML_NAMESPACE_DECL: return "a namespace";
    default: return "a non-element";
  }
}

// A sort key: nothing (empty node-set or NaN), a number, a string or a
// boolean.
struct Key {
  enum Kind { Empty, Number, String, Boolean } kind = Empty;
  double number = 0;
  std::string text;
};

struct Binding {
  std::string name;
  ObjPtr value;
};

struct Tuple {
  std::vector<Binding> bindings;
  std::vector<Key> keys;
};

class Evaluator {
 public:
  Evaluator(const Query& query, xmlXPathContextPtr ctxt, xmlNodePtr context, ErrorSink& sink,
            std::string& error)
      : query_(query), ctxt_(ctxt), context_(context), sink_(sink), error_(error) {}

  xmlXPathObjectPtr run() {
    const Expr& body = *query_.body;
    if (body.kind == ExprKind::Path) {
      // A plain XPath query gives exactly what the XPath evaluator gives.
      ObjPtr obj = eval_path(body);
      return obj.release();
    }
    Sequence seq;
    if (!eval_seq(body, seq)) return nullptr;
    return finish(seq);
  }

 private:
  const Query& query_;
  xmlXPathContextPtr ctxt_;
  xmlNodePtr context_;
  ErrorSink& sink_;
  std::string& error_;

  bool fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  ObjPtr eval_path(const Expr& expr) {
    ctxt_->node = context_;
    ctxt_->contextSize = 1;
    ctxt_->proximityPosition = 1;
    sink_.message.clear();
    ObjPtr obj(xmlXPathCompiledEval(expr.comp.get(), ctxt_));
    if (!obj) {
      fail("evaluating '" + expr.text + "' failed: " +
           (sink_.message.empty() ? std::string("XPath error") : sink_.message));
    }
    return obj;
  }

  bool append_object(ObjPtr obj, Sequence& out) {
    if (is_node_set(obj.get())) {
      xmlNodeSetPtr set = obj->nodesetval;
      for (int i = 0; set != nullptr && i < set->nodeNr; ++i) out.push_back({set->nodeTab[i], {}});
      return true;
    }
    if (obj->type == XPATH_BOOLEAN || obj->type == XPATH_NUMBER || obj->type == XPATH_STRING) {
      out.push_back({nullptr, share(std::move(obj))});
      return true;
    }
    return fail("an expression gave a value of an unsupported type");
  }

  bool eval_seq(const Expr& expr, Sequence& out) {
    switch (expr.kind) {
      case ExprKind::Path: {
        ObjPtr obj = eval_path(expr);
        return obj && append_object(std::move(obj), out);
      }
      case ExprKind::Sequence:
        for (const auto& item : expr.items) {
          if (!eval_seq(*item, out)) return false;
        }
        return true;
      case ExprKind::Flwor:
        return eval_flwor(*expr.flwor, out);
    }
    return fail("unknown expression");
  }

  // The value a `let` binds: a Path's own XPath value, else the sequence as
  // a node-set (nodes in sequence order) or as its single atomic value.
  ObjPtr eval_object(const Expr& expr, const std::string& var) {
    if (expr.kind == ExprKind::Path) return eval_path(expr);
    Sequence seq;
    if (!eval_seq(expr, seq)) return nullptr;
    size_t atoms = 0;
    for (const auto& item : seq) atoms += item.atom ? 1 : 0;
    if (atoms == 1 && seq.size() == 1) return ObjPtr(xmlXPathObjectCopy(seq[0].atom.get()));
    if (atoms > 0) {
      fail("$" + var + " cannot be bound to a sequence of " + std::to_string(seq.size()) +
           " items that holds atomic values; only a sequence of nodes or a single atomic value "
           "can be bound");
      return nullptr;
    }
    return node_set_of(seq);
  }

  ObjPtr node_set_of(const Sequence& seq) {
    NodeSetPtr set(xmlXPathNodeSetCreate(nullptr));
    if (!set) {
      fail("out of memory");
      return nullptr;
    }
    for (const auto& item : seq) {
      if (xmlXPathNodeSetAddUnique(set.get(), item.node) < 0) {
        fail("out of memory");
        return nullptr;
      }
    }
    ObjPtr obj(xmlXPathWrapNodeSet(set.get()));
    if (!obj) {
      fail("out of memory");
      return nullptr;
    }
    set.release();
    return obj;
  }

  ObjPtr item_object(const Item& item) {
    ObjPtr obj(item.node ? xmlXPathNewNodeSet(item.node) : xmlXPathObjectCopy(item.atom.get()));
    if (!obj) fail("out of memory");
    return obj;
  }

  // Binds `name` (the context takes ownership of `value`).
  bool bind(const std::string& name, ObjPtr value) {
    if (xmlXPathRegisterVariable(ctxt_, BAD_CAST name.c_str(), value.get()) != 0) {
      return fail("could not bind $" + name);
    }
    value.release();
    return true;
  }

  // Restores a variable to what it was before a clause bound it, so that an
  // inner FLWOR's variable does not leak into the outer one it shadows.
  struct Saved {
    std::string name;
    ObjPtr value;  // null: the variable was unbound
  };

  Saved save(const std::string& name) {
    return {name, ObjPtr(xmlXPathVariableLookup(ctxt_, BAD_CAST name.c_str()))};
  }

  void restore(Saved& saved) {
    xmlXPathRegisterVariable(ctxt_, BAD_CAST saved.name.c_str(), saved.value.release());
  }

  using Sink = std::function<bool()>;

  // Runs the clauses from `index` on, calling `sink` once per tuple.
  bool run_clauses(const Flwor& f, size_t index, const Sink& sink) {
    if (index == f.clauses.size()) return sink();
    const Clause& clause = f.clauses[index];
    Saved saved_var = save(clause.var);
    bool ok = true;
    if (clause.kind == ClauseKind::Let) {
      ObjPtr value = eval_object(*clause.source, clause.var);
      ok = value && bind(clause.var, std::move(value)) && run_clauses(f, index + 1, sink);
    } else {
      Saved saved_pos;
      if (!clause.pos_var.empty()) saved_pos = save(clause.pos_var);
      Sequence items;
      ok = eval_seq(*clause.source, items);
      for (size_t i = 0; ok && i < items.size(); ++i) {
        ObjPtr value = item_object(items[i]);
        ok = value && bind(clause.var, std::move(value));
        if (ok && !clause.pos_var.empty()) {
          ok = bind(clause.pos_var, ObjPtr(xmlXPathNewFloat(static_cast<double>(i + 1))));
        }
        ok = ok && run_clauses(f, index + 1, sink);
      }
      if (!clause.pos_var.empty()) restore(saved_pos);
    }
    restore(saved_var);
    return ok;
  }

  bool where_holds(const Flwor& f, bool& holds) {
    holds = true;
    if (!f.where) return true;
    ObjPtr obj = eval_path(*f.where);
    if (!obj) return false;
    holds = xmlXPathCastToBoolean(obj.get()) != 0;
    return true;
  }

  bool eval_flwor(const Flwor& f, Sequence& out) {
    if (f.order.empty()) {
      return run_clauses(f, 0, [&] {
        bool holds = false;
        if (!where_holds(f, holds)) return false;
        return !holds || eval_seq(*f.body, out);
      });
    }
    std::vector<Tuple> tuples;
    bool ok = run_clauses(f, 0, [&] {
      bool holds = false;
      if (!where_holds(f, holds)) return false;
      if (!holds) return true;
      Tuple tuple;
      for (const auto& spec : f.order) {
        Key key;
        if (!eval_key(*spec.key, key)) return false;
        tuple.keys.push_back(std::move(key));
      }
      for (const auto& clause : f.clauses) {
        for (const std::string* name : {&clause.var, &clause.pos_var}) {
          if (name->empty()) continue;
          tuple.bindings.push_back({*name, ObjPtr(xmlXPathVariableLookup(ctxt_, BAD_CAST name->c_str()))});
        }
      }
      tuples.push_back(std::move(tuple));
      return true;
    });
    if (!ok || !check_key_kinds(f, tuples)) return false;
    std::stable_sort(tuples.begin(), tuples.end(), [&](const Tuple& a, const Tuple& b) {
      for (size_t k = 0; k < f.order.size(); ++k) {
        int c = compare_keys(a.keys[k], b.keys[k], f.order[k]);
        if (c != 0) return c < 0;
      }
      return false;
    });
    // Replay the sorted tuples; the variables are put back afterwards.
    std::vector<Saved> saved;
    for (const auto& clause : f.clauses) {
      saved.push_back(save(clause.var));
      if (!clause.pos_var.empty()) saved.push_back(save(clause.pos_var));
    }
    for (auto& tuple : tuples) {
      for (auto& binding : tuple.bindings) {
        if (!binding.value) continue;
        if (!(ok = bind(binding.name, std::move(binding.value)))) break;
      }
      if (!ok || !(ok = eval_seq(*f.body, out))) break;
    }
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) restore(*it);
    return ok;
  }

  bool eval_key(const Expr& expr, Key& key) {
    ObjPtr obj = eval_path(expr);
    if (!obj) return false;
    switch (obj->type) {
      case XPATH_NODESET:
      case XPATH_XSLT_TREE: {
        int count = obj->nodesetval ? obj->nodesetval->nodeNr : 0;
        if (count > 1) {
          return fail("the order by key '" + expr.text + "' selected " + std::to_string(count) +
                      " nodes; a key must be a single value");
        }
        if (count == 1) {
          xmlChar* text = xmlXPathCastNodeToString(obj->nodesetval->nodeTab[0]);
          key.kind = Key::String;
          key.text = text ? reinterpret_cast<const char*>(text) : "";
          xmlFree(text);
        }
        return true;
      }
      case XPATH_NUMBER:
        if (!std::isnan(obj->floatval)) {
          key.kind = Key::Number;
          key.number = obj->floatval;
        }
        return true;
      case XPATH_STRING:
        key.kind = Key::String;
        key.text = obj->stringval ? reinterpret_cast<const char*>(obj->stringval) : "";
        return true;
      case XPATH_BOOLEAN:
        key.kind = Key::Boolean;
        key.number = obj->boolval ? 1 : 0;
        return true;
      default:
        return fail("the order by key '" + expr.text + "' gave a value of an unsupported type");
    }
  }

  // One key must order every tuple the same way: numbers with numbers,
  // strings with strings.
  bool check_key_kinds(const Flwor& f, const std::vector<Tuple>& tuples) {
    for (size_t k = 0; k < f.order.size(); ++k) {
      Key::Kind seen = Key::Empty;
      for (const auto& tuple : tuples) {
        Key::Kind kind = tuple.keys[k].kind;
        if (kind == Key::Empty) continue;
        if (seen != Key::Empty && kind != seen) {
          return fail("the order by key '" + f.order[k].key->text +
                      "' mixes numbers, strings and booleans; convert it with number() or "
                      "string()");
        }
        seen = kind;
      }
    }
    return true;
  }

  static int compare_keys(const Key& a, const Key& b, const OrderSpec& spec) {
    int c = 0;
    if (a.kind == Key::Empty || b.kind == Key::Empty) {
      if (a.kind != b.kind) {
        c = a.kind == Key::Empty ? -1 : 1;
        if (spec.empty_greatest) c = -c;
      }
    } else if (a.kind == Key::String) {
      c = std::strcmp(a.text.c_str(), b.text.c_str());  // code point order
      c = c < 0 ? -1 : (c > 0 ? 1 : 0);
    } else {
      c = a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    }
    return spec.descending ? -c : c;
  }

  // The query's result: its elements in return order, or its one atomic
  // value.
  xmlXPathObjectPtr finish(const Sequence& seq) {
    size_t atoms = 0;
    for (const auto& item : seq) {
      if (item.atom) {
        ++atoms;
      } else if (item.node->type != XML_ELEMENT_NODE) {
        fail(std::string("the query returned ") + node_kind(item.node) +
             " node; only elements can be returned as nodes (wrap the expression in string() "
             "to return its text)");
        return nullptr;
      }
    }
    if (atoms == 0) return node_set_of(seq).release();
    if (seq.size() == 1) return xmlXPathObjectCopy(seq[0].atom.get());
    if (atoms == seq.size()) {
      fail("the query returned " + std::to_string(atoms) +
           " atomic values; a query returns a sequence of elements or a single boolean, "
           "number or string");
    } else {
      fail("the query returned a sequence that mixes elements and atomic values");
    }
    return nullptr;
  }
};

}  // namespace

xmlXPathObjectPtr evaluate(const Query& query, xmlDocPtr doc, xmlNodePtr context,
                           std::string& error) {
  if (doc == nullptr) {
    error = "no document";
    return nullptr;
  }
  if (context != nullptr && context->doc != doc) {
    error = "the context element does not belong to the document";
    return nullptr;
  }
  ErrorSink sink;
  ContextPtr ctxt = new_context(doc, query.namespaces, sink);
  if (!ctxt) {
    error = "out of memory";
    return nullptr;
  }
  xmlNodePtr start = context != nullptr ? context : reinterpret_cast<xmlNodePtr>(doc);
  Evaluator evaluator(query, ctxt.get(), start, sink, error);
  xmlXPathObjectPtr result = evaluator.run();
  if (result == nullptr && error.empty()) error = "evaluation failed";
  return result;
}

}  // namespace korvith::xq
