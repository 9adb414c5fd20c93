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
#include <unordered_map>
#include <unordered_set>

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
  xmlNodePtr node = nullptr;             // a node item
  std::shared_ptr<xmlXPathObject> atom;  // or an atomic item
};
using Sequence = std::vector<Item>;

std::shared_ptr<xmlXPathObject> share(ObjPtr obj) {
  return std::shared_ptr<xmlXPathObject>(obj.release(), ObjDeleter{});
}

bool is_node_set(const xmlXPathObject* obj) {
  return obj->type == XPATH_NODESET || obj->type == XPATH_XSLT_TREE;
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
            std::string& error, std::vector<ResultItem>& items)
      : query_(query), ctxt_(ctxt), context_(context), sink_(sink), error_(error), items_(items) {}

  xmlXPathObjectPtr run() {
    const Expr& body = *query_.body;
    if (body.kind == ExprKind::Path) {
      // A plain XPath query gives exactly what the XPath evaluator gives:
      // its value, or its node-set in document order.
      ObjPtr obj = eval_path(body);
      if (!obj || !is_node_set(obj.get()) || only_elements(obj->nodesetval)) return obj.release();
      Sequence seq;
      if (!append_object(std::move(obj), seq)) return nullptr;
      return finish(seq);
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
  std::vector<ResultItem>& items_;
  // Values of expressions that mention no variable, computed once.
  std::unordered_map<const Expr*, ObjPtr> invariant_;
  std::unordered_map<const Hoisted*, ObjPtr> hoisted_;
  // Hash indexes of joins, built on first use.
  struct JoinIndex {
    bool usable = false;
    ObjPtr source;
    std::unordered_map<std::string, std::vector<int>> by_string;  // value -> source positions
    bool numbers_built = false;
    std::unordered_map<double, std::vector<int>> by_number;
  };
  std::unordered_map<const Join*, JoinIndex> joins_;

  static bool only_elements(const xmlNodeSet* set) {
    for (int i = 0; set != nullptr && i < set->nodeNr; ++i) {
      if (set->nodeTab[i]->type != XML_ELEMENT_NODE) return false;
    }
    return true;
  }

  bool within_limit(size_t size, const char* what) {
    if (size <= query_.max_items) return true;
    return fail(std::string("the query's ") + what + " exceed the limit of " +
                std::to_string(query_.max_items) + " items; raise max_items to allow more");
  }

  bool fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  // The XPath value of a Path or Var expression.
  ObjPtr eval_path(const Expr& expr) {
    if (expr.kind == ExprKind::Var) return eval_var(expr);
    if (query_.optimize && expr.invariant) return eval_invariant(expr);
    if (query_.optimize && expr.join) {
      bool used = false;
      ObjPtr obj = eval_join(*expr.join, used);
      if (used || !error_.empty()) return obj;
    }
    if (query_.optimize && expr.fast) return eval_fast(expr);
    return eval_xpath(expr.comp.get(), expr.text);
  }

  // Binds each hoisted part's value, then evaluates the rewritten text.
  ObjPtr eval_fast(const Expr& expr) {
    for (const auto& h : expr.hoisted) {
      ObjPtr value;
      if (h.join) {
        bool used = false;
        value = eval_join(*h.join, used);
        if (!used && error_.empty()) value = eval_xpath(h.part.comp.get(), h.part.text);
      } else {
        value = eval_invariant_part(h);
      }
      if (!value || !bind(h.name, std::move(value))) return nullptr;
    }
    return eval_xpath(expr.fast.get(), expr.text);
  }

  ObjPtr eval_invariant_part(const Hoisted& h) {
    auto found = hoisted_.find(&h);
    if (found != hoisted_.end()) return copy_of(found->second.get());
    ObjPtr obj = eval_xpath(h.part.comp.get(), h.part.text);
    if (!obj) return obj;
    ObjPtr copy = copy_of(obj.get());
    if (copy) hoisted_.emplace(&h, std::move(obj));
    return copy;
  }

  ObjPtr eval_xpath(xmlXPathCompExprPtr comp, const std::string& text) {
    return eval_at(comp, text, context_, 1, 1);
  }

  ObjPtr eval_at(xmlXPathCompExprPtr comp, const std::string& text, xmlNodePtr node, int size,
                 int position) {
    ctxt_->node = node;
    ctxt_->contextSize = size;
    ctxt_->proximityPosition = position;
    sink_.message.clear();
    ObjPtr obj(xmlXPathCompiledEval(comp, ctxt_));
    if (!obj) {
      fail("evaluating '" + text +
           "' failed: " + (sink_.message.empty() ? std::string("XPath error") : sink_.message));
    }
    return obj;
  }

  ObjPtr copy_of(const xmlXPathObject* obj) {
    ObjPtr copy(xmlXPathObjectCopy(const_cast<xmlXPathObjectPtr>(obj)));
    if (!copy) fail("out of memory");
    return copy;
  }

  ObjPtr eval_invariant(const Expr& expr) {
    auto found = invariant_.find(&expr);
    if (found != invariant_.end()) return copy_of(found->second.get());
    ObjPtr obj = eval_xpath(expr.comp.get(), expr.text);
    if (!obj) return obj;
    ObjPtr copy = copy_of(obj.get());
    if (copy) invariant_.emplace(&expr, std::move(obj));
    return copy;
  }

  // `$v` or `$v[p]...`: the bound items in their order, duplicates kept;
  // each predicate sees the positions of that order.
  ObjPtr eval_var(const Expr& expr) {
    ObjPtr value(xmlXPathVariableLookup(ctxt_, BAD_CAST expr.var.c_str()));
    if (!value) {
      fail("$" + expr.var + " is not bound");
      return nullptr;
    }
    if (expr.preds.empty()) return value;
    if (!is_node_set(value.get())) return eval_xpath(expr.comp.get(), expr.text);
    std::vector<xmlNodePtr> nodes;
    if (value->nodesetval != nullptr) {
      nodes.assign(value->nodesetval->nodeTab,
                   value->nodesetval->nodeTab + value->nodesetval->nodeNr);
    }
    for (const auto& pred : expr.preds) {
      std::vector<xmlNodePtr> kept;
      int size = static_cast<int>(nodes.size());
      for (int i = 0; i < size; ++i) {
        ObjPtr test =
            eval_at(pred.comp.get(), pred.text, nodes[static_cast<size_t>(i)], size, i + 1);
        if (!test) return nullptr;
        bool keep = test->type == XPATH_NUMBER ? test->floatval == i + 1
                                               : xmlXPathCastToBoolean(test.get()) != 0;
        if (keep) kept.push_back(nodes[static_cast<size_t>(i)]);
      }
      nodes = std::move(kept);
    }
    Sequence seq;
    for (xmlNodePtr node : nodes) seq.push_back({node, {}});
    return node_set_of(seq);
  }

  static std::string string_value(xmlNodePtr node) {
    xmlChar* text = xmlXPathCastNodeToString(node);
    std::string value = text ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return value;
  }

  static double number_key(double value) { return value == 0 ? 0.0 : value; }

  void build_numbers(JoinIndex& index) {
    if (index.numbers_built) return;
    index.numbers_built = true;
    for (const auto& [text, positions] : index.by_string) {
      double value = xmlXPathStringEvalNumber(BAD_CAST text.c_str());
      if (std::isnan(value)) continue;
      auto& list = index.by_number[number_key(value)];
      list.insert(list.end(), positions.begin(), positions.end());
    }
  }

  JoinIndex* join_index(const Join& join) {
    auto found = joins_.find(&join);
    if (found != joins_.end()) return &found->second;
    JoinIndex& index = joins_[&join];
    index.source = eval_xpath(join.source.comp.get(), join.source.text);
    if (!index.source) return nullptr;
    if (!is_node_set(index.source.get())) return &index;  // not usable: XPath decides
    xmlNodeSetPtr set = index.source->nodesetval;
    for (int i = 0; set != nullptr && i < set->nodeNr; ++i) {
      if (join.kind == Join::Compare) {
        index.by_string[string_value(set->nodeTab[i])].push_back(i);
        continue;
      }
      ObjPtr key = eval_at(join.key.comp.get(), join.key.text, set->nodeTab[i], 1, 1);
      if (!key) return nullptr;
      if (!is_node_set(key.get())) return &index;
      xmlNodeSetPtr keys = key->nodesetval;
      for (int k = 0; keys != nullptr && k < keys->nodeNr; ++k) {
        auto& list = index.by_string[string_value(keys->nodeTab[k])];
        if (list.empty() || list.back() != i) list.push_back(i);
      }
    }
    index.usable = true;
    return &index;
  }

  // Adds the source positions whose value equals a value of `probe`;
  // false when the probe is a boolean (XPath compares those differently).
  bool probe_matches(JoinIndex& index, const xmlXPathObject* probe, std::vector<int>& hits) {
    auto add = [&](const std::vector<int>* list) {
      if (list) hits.insert(hits.end(), list->begin(), list->end());
    };
    auto by_string = [&](const std::string& text) {
      auto found = index.by_string.find(text);
      add(found == index.by_string.end() ? nullptr : &found->second);
    };
    switch (probe->type) {
      case XPATH_NODESET:
      case XPATH_XSLT_TREE:
        for (int i = 0; probe->nodesetval != nullptr && i < probe->nodesetval->nodeNr; ++i)
          by_string(string_value(probe->nodesetval->nodeTab[i]));
        return true;
      case XPATH_STRING:
        by_string(probe->stringval ? reinterpret_cast<const char*>(probe->stringval) : "");
        return true;
      case XPATH_NUMBER: {
        if (std::isnan(probe->floatval)) return true;
        build_numbers(index);
        auto found = index.by_number.find(number_key(probe->floatval));
        add(found == index.by_number.end() ? nullptr : &found->second);
        return true;
      }
      default: return false;
    }
  }

  // Evaluates a join with its index; `used` false when this evaluation
  // must go through XPath instead (the caller then does).
  ObjPtr eval_join(const Join& join, bool& used) {
    used = false;
    JoinIndex* index = join_index(join);
    if (index == nullptr || !index->usable) return nullptr;
    ObjPtr probe = eval_xpath(join.probe.comp.get(), join.probe.text);
    if (!probe) return nullptr;
    std::vector<int> hits;
    if (!probe_matches(*index, probe.get(), hits)) return nullptr;
    used = true;
    if (join.kind == Join::Compare) {
      ObjPtr result(xmlXPathNewBoolean(!hits.empty()));
      if (!result) fail("out of memory");
      return result;
    }
    std::sort(hits.begin(), hits.end());
    hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
    Sequence seq;
    for (int i : hits) seq.push_back({index->source->nodesetval->nodeTab[i], {}});
    return node_set_of(seq);
  }

  bool append_object(ObjPtr obj, Sequence& out) {
    if (is_node_set(obj.get())) {
      xmlNodeSetPtr set = obj->nodesetval;
      for (int i = 0; set != nullptr && i < set->nodeNr; ++i) out.push_back({set->nodeTab[i], {}});
      return within_limit(out.size(), "intermediate results");
    }
    if (obj->type == XPATH_BOOLEAN || obj->type == XPATH_NUMBER || obj->type == XPATH_STRING) {
      out.push_back({nullptr, share(std::move(obj))});
      return within_limit(out.size(), "intermediate results");
    }
    return fail("an expression gave a value of an unsupported type");
  }

  bool eval_seq(const Expr& expr, Sequence& out) {
    switch (expr.kind) {
      case ExprKind::Path:
      case ExprKind::Var: {
        ObjPtr obj = eval_path(expr);
        return obj && append_object(std::move(obj), out);
      }
      case ExprKind::Sequence:
        for (const auto& item : expr.items) {
          if (!eval_seq(*item, out)) return false;
        }
        return true;
      case ExprKind::Flwor: return eval_flwor(*expr.flwor, out);
    }
    return fail("unknown expression");
  }

  // The value a `let` binds: a Path's own XPath value, else the sequence as
  // a node-set (nodes in sequence order) or as its single atomic value.
  ObjPtr eval_object(const Expr& expr, const std::string& var) {
    if (expr.kind == ExprKind::Path || expr.kind == ExprKind::Var) return eval_path(expr);
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
          tuple.bindings.push_back(
              {*name, ObjPtr(xmlXPathVariableLookup(ctxt_, BAD_CAST name->c_str()))});
        }
      }
      // A tuple holds a value per variable and key: count them all.
      size_t width = tuple.bindings.size() + tuple.keys.size();
      tuples.push_back(std::move(tuple));
      return within_limit(tuples.size() * std::max<size_t>(width, 1), "tuples to order");
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

  // The query's result. Elements only: a node-set in return order. One
  // atomic value: that value. Anything else: a node-set of the elements,
  // with `items_` describing every item in order; the document node is an
  // item of its own (the caller's document object), any other node its
  // string value.
  xmlXPathObjectPtr finish(Sequence& seq) {
    bool plain = true;
    for (auto& item : seq) {
      if (item.node == nullptr || item.node->type != XML_ELEMENT_NODE) plain = false;
    }
    if (plain) return node_set_of(seq).release();
    if (seq.size() == 1 && seq[0].atom) return xmlXPathObjectCopy(seq[0].atom.get());
    Sequence elements;
    items_.reserve(seq.size());
    for (const auto& item : seq) {
      ResultItem out;
      if (item.node != nullptr && item.node->type == XML_ELEMENT_NODE) {
        elements.push_back(item);
      } else if (item.node != nullptr && (item.node->type == XML_DOCUMENT_NODE ||
                                          item.node->type == XML_HTML_DOCUMENT_NODE)) {
        out.kind = ResultItem::Document;
      } else if (item.node != nullptr) {
        out.kind = ResultItem::String;
        out.text = string_value(item.node);
      } else if (item.atom->type == XPATH_NUMBER) {
        out.kind = ResultItem::Number;
        out.number = item.atom->floatval;
      } else if (item.atom->type == XPATH_BOOLEAN) {
        out.kind = ResultItem::Boolean;
        out.number = item.atom->boolval ? 1 : 0;
      } else {
        out.kind = ResultItem::String;
        const xmlChar* text = item.atom->stringval;
        out.text = text ? reinterpret_cast<const char*>(text) : "";
      }
      items_.push_back(std::move(out));
    }
    ObjPtr result = node_set_of(elements);
    if (!result) items_.clear();
    return result.release();
  }
};

}  // namespace

xmlXPathObjectPtr evaluate(const Query& query, xmlDocPtr doc, xmlNodePtr context,
                           std::string& error, std::vector<ResultItem>& items) {
  items.clear();
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
  Evaluator evaluator(query, ctxt.get(), start, sink, error, items);
  xmlXPathObjectPtr result = evaluator.run();
  if (result == nullptr) items.clear();
  if (result == nullptr && error.empty()) error = "evaluation failed";
  return result;
}

}  // namespace korvith::xq
