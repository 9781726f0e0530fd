#pragma once
// The XPath grammar the manifests are queried with. A DOM may fault on a query it cannot
// compile, so queries are checked here first and anything outside this grammar counts as
// "finds nothing".
//
//   Query      := '/' | ('/' | '//')? Step (('/' | '//') Step)*
//   Step       := '.' | '..' | '@' NameTest | NodeTest Predicate*
//   NodeTest   := NameTest | 'node()' | 'text()'
//   NameTest   := '*' | QName | Prefix ':*'
//   Predicate  := '[' OrExpr ']'
//   OrExpr     := AndExpr ('or' AndExpr)*
//   AndExpr    := Comparison ('and' Comparison)*
//   Comparison := Operand (('=' | '!=') Operand)?
//   Operand    := Literal | Number | Path of steps without predicates
//   Literal    := '...' without ' inside, or "..." without " inside
//   Number     := Digits ('.' Digits?)?
//
// White space is allowed between the tokens of a predicate, nowhere else. Names follow XML's
// rules; any character above U+007F counts as a name character.

#include "text/Strings.h"

namespace XmlPathSyntax
{
    // True when the whole query belongs to the grammar above.
    bool IsWellFormed(const String& query);
}
