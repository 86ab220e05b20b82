#!/usr/bin/env python3
"""Checks service/api/openapi.json against the route table of service/api/api.cc.

usage: openapi_test.py OPENAPI_JSON API_CC

Every route of api.cc is described and nothing else is; a route answered
without the token is described with `security: []`, and only such a route;
every $ref points into the document (it is served alone, at
/openapi.json); every path parameter is declared; every operation lists
its answers, each with a description, among them the refusals of the front
door that any request may get. Exits 1 and names each problem otherwise.
"""
import json
import re
import sys

METHODS = ("get", "put", "post", "delete", "options", "head", "patch", "trace")


# What the front door may answer to any request, and to any POST.
FRONT_DOOR = {"400", "408", "414", "431", "500", "505"}
FRONT_DOOR_POST = {"413", "417", "503"}
# What fiskald never answers: a POST with neither Content-Length nor
# Transfer-Encoding has an empty body (RFC 9112, section 6.3), not a 411.
NEVER = {"411"}


def code_routes(source):
    """{(METHOD, path): open} of every row {"GET", "/path/{id}", kOpen, ...}
    of the route table in api.cc, each parameter written as {}."""
    routes = {}
    pattern = r'\{"(GET|POST|PUT|DELETE|PATCH)",\s*"([^"]+)",\s*(kOpen|kToken),'
    for method, path, access in re.findall(pattern, source):
        routes[(method, re.sub(r"\{[^}]*\}", "{}", path))] = access == "kOpen"
    return routes


def pointer(doc, ref):
    node = doc
    for part in ref[2:].split("/"):
        part = part.replace("~1", "/").replace("~0", "~")
        if not isinstance(node, dict) or part not in node:
            return None
        node = node[part]
    return node


def check(doc, source):
    problems = []
    if not str(doc.get("openapi", "")).startswith("3.1."):
        problems.append("openapi is not 3.1.x")

    def walk(node, where):
        if isinstance(node, dict):
            ref = node.get("$ref")
            if isinstance(ref, str) and (not ref.startswith("#/") or pointer(doc, ref) is None):
                problems.append(f"{where}: $ref {ref} does not resolve within the document")
            for key, value in node.items():
                walk(value, f"{where}/{key}")
        elif isinstance(node, list):
            for i, value in enumerate(node):
                walk(value, f"{where}/{i}")

    walk(doc, "#")

    def resolved(node):
        return pointer(doc, node["$ref"]) if "$ref" in node else node

    schemes = doc.get("components", {}).get("securitySchemes", {})
    routes = code_routes(source)
    described = set()
    for path, item in doc.get("paths", {}).items():
        names = set(re.findall(r"\{([^}]*)\}", path))
        for method, op in item.items():
            if method not in METHODS:
                continue
            where = f"{method.upper()} {path}"
            key = (method.upper(), re.sub(r"\{[^}]*\}", "{}", path))
            described.add(key)
            if key in routes and routes[key] != (op.get("security") == []):
                problems.append(f"{where}: answered {'without' if routes[key] else 'with'} the "
                                f"token, described otherwise (security)")
            need = FRONT_DOOR | (FRONT_DOOR_POST if method == "post" else set())
            for status in sorted(need - set(op.get("responses", {}))):
                problems.append(f"{where}: the front door's {status} is not listed")
            for status in sorted(NEVER & set(op.get("responses", {}))):
                problems.append(f"{where}: {status} is listed, but fiskald never answers it")
            params = [resolved(p) or {} for p in item.get("parameters", []) + op.get("parameters", [])]
            declared = {p.get("name") for p in params if p.get("in") == "path" and p.get("required")}
            for name in sorted(names - declared):
                problems.append(f"{where}: path parameter {name} is not declared as required")
            if not op.get("responses"):
                problems.append(f"{where}: no responses")
            for status, answer in op.get("responses", {}).items():
                if not re.fullmatch(r"[1-5][0-9][0-9]|default", status):
                    problems.append(f"{where}: {status} is not a status")
                if not (resolved(answer) or {}).get("description"):
                    problems.append(f"{where} {status}: no description")
            for requirement in op.get("security", doc.get("security", [])):
                for name in requirement:
                    if name not in schemes:
                        problems.append(f"{where}: unknown security scheme {name}")

    if not routes:
        problems.append("no routes found in api.cc")
    for method, path in sorted(set(routes) - described):
        problems.append(f"{method} {path}: served by api.cc, not described")
    for method, path in sorted(described - set(routes)):
        problems.append(f"{method} {path}: described, not served by api.cc")
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    with open(sys.argv[2], encoding="utf-8") as f:
        source = f.read()
    problems = check(doc, source)
    for p in problems:
        print(p)
    print(f"{len(doc.get('paths', {}))} paths, {len(problems)} problems")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
