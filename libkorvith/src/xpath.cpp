// XPath 1.0 evaluation: per-document cached evaluation context, namespace
// and variable sets, compiled expressions and result accessors. Node-sets
// are exposed as their element nodes only.
#include <libxml/xpathInternals.h>

#include <cstdlib>
#include <new>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"

namespace korvith {
namespace {

struct NsSet {
    std::vector<std::pair<std::string, std::string>> pairs;
};

struct Variable {
    std::string name;
    int kind = 0;  // 0 boolean, 1 number, 2 string
    bool boolean = false;
    double number = 0;
    std::string text;
};

struct VarSet {
    std::vector<Variable> vars;
};

// Nodes other than elements in the node-set most recently counted on this
// thread (korvith_xpath_last_other_nodes): the module's conversion keeps the
// elements only, and the package re-evaluates for every node when this is
// not 0.
thread_local size_t last_other_nodes = 0;

void on_xpath_error(void*, const xmlError* err) {
    if (error_code() == 0) error_from(err);
}

xmlXPathContextPtr new_context(xmlDocPtr doc) {
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    if (ctx != nullptr) xmlXPathSetErrorHandler(ctx, on_xpath_error, nullptr);
    return ctx;
}

bool valid_ncname(const char* s) {
    return s != nullptr && *s != '\0' && xmlValidateNCName(xstr(s), 0) == 0;
}

xmlXPathObjectPtr make_value(const Variable& v) {
    switch (v.kind) {
        case 0: return xmlXPathNewBoolean(v.boolean ? 1 : 0);
        case 1: return xmlXPathNewFloat(v.number);
        default: return xmlXPathNewCString(v.text.c_str());
    }
}

void* evaluate(void* document, void* context, const char* expression, xmlXPathCompExprPtr comp,
               const NsSet* ns, const VarSet* vars) {
    error_clear();
    last_other_nodes = 0;
    auto* doc = static_cast<xmlDocPtr>(document);
    xmlNodePtr node = as_node(context);
    if (doc == nullptr && node != nullptr) doc = node->doc;
    if (doc == nullptr || (expression == nullptr && comp == nullptr)) {
        error_set(XML_ERR_ARGUMENT, "no document or expression to evaluate", 0, 0);
        return nullptr;
    }
    if (node != nullptr && node->doc != doc) {
        error_set(XML_ERR_ARGUMENT, "context node belongs to another document", 0, 0);
        return nullptr;
    }
    DocSide* side = side_of(doc);
    if (side == nullptr) return nullptr;
    // The document's own context when it is free; a private one when another
    // thread is evaluating on the same document.
    std::unique_lock<std::mutex> lock(side->mu, std::try_to_lock);
    xmlXPathContextPtr ctx = nullptr;
    bool private_ctx = !lock.owns_lock();
    if (!private_ctx) {
        if (side->xpath == nullptr) side->xpath = new_context(doc);
        ctx = side->xpath;
    } else {
        ctx = new_context(doc);
    }
    if (ctx == nullptr) return nullptr;
    ctx->node = node != nullptr ? node : reinterpret_cast<xmlNodePtr>(doc);
    bool ok = true;
    if (ns != nullptr) {
        for (const auto& [prefix, uri] : ns->pairs) {
            if (xmlXPathRegisterNs(ctx, xstr(prefix.c_str()), xstr(uri.c_str())) != 0) ok = false;
        }
    }
    if (vars != nullptr) {
        for (const Variable& v : vars->vars) {
            xmlXPathObjectPtr value = make_value(v);
            if (value == nullptr || xmlXPathRegisterVariable(ctx, xstr(v.name.c_str()), value) != 0) {
                if (value != nullptr) xmlXPathFreeObject(value);
                ok = false;
            }
        }
    }
    xmlXPathObjectPtr result = nullptr;
    if (ok) {
        result = comp != nullptr ? xmlXPathCompiledEval(comp, ctx)
                                 : xmlXPathEval(xstr(expression), ctx);
    } else {
        error_set(XML_ERR_NO_MEMORY, "could not register namespaces or variables", 0, 0);
    }
    // Leave the cached context clean for the next call.
    xmlXPathRegisteredNsCleanup(ctx);
    xmlXPathRegisteredVariablesCleanup(ctx);
    ctx->node = nullptr;
    if (private_ctx) xmlXPathFreeContext(ctx);
    if (result == nullptr && error_code() == 0) {
        error_set(XML_ERR_INTERNAL_ERROR, "XPath evaluation failed", 0, 0);
    }
    return result;
}

bool is_node_set(const xmlXPathObject* obj) {
    return obj->type == XPATH_NODESET || obj->type == XPATH_XSLT_TREE;
}

char* malloc_copy(const char* s) {
    if (s == nullptr) s = "";
    size_t n = std::strlen(s) + 1;
    char* out = static_cast<char*>(std::malloc(n));
    if (out != nullptr) std::memcpy(out, s, n);
    return out;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_xpath_compile(const char* expression) {
    error_clear();
    if (expression == nullptr) {
        error_set(XML_ERR_ARGUMENT, "no expression", 0, 0);
        return nullptr;
    }
    xmlXPathContextPtr ctx = new_context(nullptr);
    if (ctx == nullptr) return nullptr;
    xmlXPathCompExprPtr comp = xmlXPathCtxtCompile(ctx, xstr(expression));
    xmlXPathFreeContext(ctx);
    if (comp == nullptr && error_code() == 0) {
        error_set(XML_ERR_INTERNAL_ERROR, "invalid XPath expression", 0, 0);
    }
    return comp;
}

void korvith_xpath_compiled_free(void* compiled) {
    if (compiled != nullptr) xmlXPathFreeCompExpr(static_cast<xmlXPathCompExprPtr>(compiled));
}

void* korvith_xpath_eval(void* document, void* context, const char* expression) {
    return evaluate(document, context, expression, nullptr, nullptr, nullptr);
}

void* korvith_xpath_eval_ns(void* document, void* context, const char* expression, void* ns_set) {
    return evaluate(document, context, expression, nullptr, static_cast<NsSet*>(ns_set), nullptr);
}

void* korvith_xpath_eval_vars_ctx(void* document, void* context, const char* expression,
                                  void* vars) {
    return evaluate(document, context, expression, nullptr, nullptr, static_cast<VarSet*>(vars));
}

void* korvith_xpath_compiled_eval(void* compiled, void* document, void* context) {
    if (compiled == nullptr) return nullptr;
    return evaluate(document, context, nullptr, static_cast<xmlXPathCompExprPtr>(compiled),
                    nullptr, nullptr);
}

void* korvith_xpath_compiled_eval_ns(void* compiled, void* document, void* context,
                                     void* ns_set) {
    if (compiled == nullptr) return nullptr;
    return evaluate(document, context, nullptr, static_cast<xmlXPathCompExprPtr>(compiled),
                    static_cast<NsSet*>(ns_set), nullptr);
}

void* korvith_xpath_compiled_eval_vars(void* compiled, void* document, void* context,
                                       void* vars) {
    if (compiled == nullptr) return nullptr;
    return evaluate(document, context, nullptr, static_cast<xmlXPathCompExprPtr>(compiled),
                    nullptr, static_cast<VarSet*>(vars));
}

void* korvith_xpath_compiled_eval_ns_vars(void* compiled, void* document, void* context,
                                          void* ns_set, void* vars) {
    if (compiled == nullptr) return nullptr;
    return evaluate(document, context, nullptr, static_cast<xmlXPathCompExprPtr>(compiled),
                    static_cast<NsSet*>(ns_set), static_cast<VarSet*>(vars));
}

int korvith_xpath_result_type(void* result) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr) return 4;
    if (is_node_set(obj)) return 0;
    switch (obj->type) {
        case XPATH_BOOLEAN: return 1;
        case XPATH_NUMBER: return 2;
        case XPATH_STRING: return 3;
        default: return 4;
    }
}

size_t korvith_xpath_result_count(void* result) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr || !is_node_set(obj) || obj->nodesetval == nullptr) return 0;
    size_t count = 0;
    for (int i = 0; i < obj->nodesetval->nodeNr; ++i) {
        if (is_element(obj->nodesetval->nodeTab[i])) ++count;
    }
    last_other_nodes = static_cast<size_t>(obj->nodesetval->nodeNr) - count;
    return count;
}

size_t korvith_xpath_result_get_nodes(void* result, void** out, size_t capacity) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr || out == nullptr || !is_node_set(obj) || obj->nodesetval == nullptr) {
        return 0;
    }
    size_t n = 0;
    for (int i = 0; i < obj->nodesetval->nodeNr && n < capacity; ++i) {
        xmlNodePtr node = obj->nodesetval->nodeTab[i];
        if (is_element(node)) out[n++] = node;
    }
    return n;
}

void korvith_xpath_result_free(void* result) {
    if (result != nullptr) xmlXPathFreeObject(static_cast<xmlXPathObjectPtr>(result));
}

double korvith_xpath_result_number(void* result) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr) return 0.0;
    if (obj->type == XPATH_NUMBER) return obj->floatval;
    return xmlXPathCastToNumber(obj);
}

int korvith_xpath_result_boolean(void* result) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr) return 0;
    if (obj->type == XPATH_BOOLEAN) return obj->boolval ? 1 : 0;
    return xmlXPathCastToBoolean(obj) ? 1 : 0;
}

char* korvith_xpath_result_string(void* result) {
    auto* obj = static_cast<xmlXPathObjectPtr>(result);
    if (obj == nullptr) return nullptr;
    if (obj->type == XPATH_STRING) return malloc_copy(cstr(obj->stringval));
    xmlChar* text = xmlXPathCastToString(obj);
    char* out = malloc_copy(cstr(text));
    xmlFree(text);
    return out;
}

void* korvith_ns_set_new(void) { return new (std::nothrow) NsSet(); }

void korvith_ns_set_free(void* set) { delete static_cast<NsSet*>(set); }

int korvith_ns_set_add(void* set, const char* prefix, const char* uri) {
    auto* ns = static_cast<NsSet*>(set);
    if (ns == nullptr || !valid_ncname(prefix) || uri == nullptr || *uri == '\0') return 1;
    if (std::strcmp(prefix, "xmlns") == 0) return 1;
    if (std::strcmp(prefix, "xml") == 0 && std::strcmp(uri, cstr(XML_XML_NAMESPACE)) != 0) return 1;
    for (auto& pair : ns->pairs) {
        if (pair.first == prefix) {
            pair.second = uri;  // a later binding of a prefix replaces the earlier one
            return 0;
        }
    }
    ns->pairs.emplace_back(prefix, uri);
    return 0;
}

void* korvith_variable_set_new(void) { return new (std::nothrow) VarSet(); }

void korvith_variable_set_free(void* set) { delete static_cast<VarSet*>(set); }

}  // extern "C"

namespace korvith {
namespace {

int set_variable(void* set, const char* name, Variable v) {
    auto* vars = static_cast<VarSet*>(set);
    if (vars == nullptr || name == nullptr) return 1;
    if (*name == '$') ++name;  // "$x" and "x" name the same variable
    if (!valid_ncname(name)) return 1;
    v.name = name;
    for (auto& existing : vars->vars) {
        if (existing.name == v.name) {
            existing = std::move(v);
            return 0;
        }
    }
    vars->vars.push_back(std::move(v));
    return 0;
}

}  // namespace
}  // namespace korvith

extern "C" {

int korvith_variable_set_boolean(void* set, const char* name, int value) {
    Variable v;
    v.kind = 0;
    v.boolean = value != 0;
    return set_variable(set, name, std::move(v));
}

int korvith_variable_set_number(void* set, const char* name, double value) {
    Variable v;
    v.kind = 1;
    v.number = value;
    return set_variable(set, name, std::move(v));
}

int korvith_variable_set_string(void* set, const char* name, const char* value) {
    if (value == nullptr || xmlCheckUTF8(xstr(value)) == 0) return 1;
    Variable v;
    v.kind = 2;
    v.text = value;
    return set_variable(set, name, std::move(v));
}

}  // extern "C"

extern "C" {

size_t korvith_xpath_last_other_nodes(void) { return last_other_nodes; }

}  // extern "C"
