#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "expr/ExprFunctionModules.h"
#include "expr/ExprParser.h"
#include "expr/ExprSet.h"
#include "platform/Cp1252.h"

namespace quv {
namespace {

TVariant Eval(const std::string& text, bool nulls = false) {
  TExprParser parser;
  parser.NullPropagation = nulls;
  parser.SetVariable("x", 1);
  parser.SetVariable("y", 2);
  parser.SetVariable("code", 2);
  parser.SetVariable("name", "Ana");
  parser.Parse(text);
  return parser.Evaluate();
}

std::string ParseError(const std::string& text) {
  TExprParser parser;
  try {
    parser.Parse(text);
  } catch (const Exception& e) {
    EXPECT_EQ(parser.Root(), nullptr) << text;
    return e.what();
  }
  return "(parsed)";
}

std::string EvalError(const std::string& text) {
  try {
    Eval(text);
  } catch (const Exception& e) {
    return e.what();
  }
  return "(evaluated)";
}

TEST(ExprParser, PrecedenceAndAssociativity) {
  EXPECT_EQ(Eval("1 + 2 * 3"), TVariant(7));
  EXPECT_EQ(Eval("(1 + 2) * 3"), TVariant(9));
  EXPECT_EQ(Eval("10 - 2 - 3"), TVariant(5));
  EXPECT_EQ(Eval("1 - 2 * 3 - 4"), TVariant(-9));
  EXPECT_EQ(Eval("2 * 3 + 4 * 5 - 6 / 2"), TVariant(23.0));
  EXPECT_EQ(Eval("7 \\ 2"), TVariant(3));
  EXPECT_EQ(Eval("x-1"), TVariant(0));
  EXPECT_EQ(Eval("1 - -1"), TVariant(2));
  // Comparisons bind loosest: x = (1 and y) = 2, which is false = 2.
  EXPECT_EQ(Eval("x = 1 and y = 2"), TVariant(false));
  EXPECT_EQ(Eval("(x = 1) and (y = 2)"), TVariant(true));
  EXPECT_EQ(Eval("not (x = 2) or false"), TVariant(true));
  EXPECT_EQ(Eval("$10 + 0x10"), TVariant(32));
  EXPECT_EQ(Eval(""), TVariant());
}

TEST(ExprParser, TextsAndMixedComparisons) {
  EXPECT_EQ(Eval("'a' + 1"), TVariant("a1"));
  EXPECT_EQ(Eval("'a' || \"b\""), TVariant("ab"));
  EXPECT_EQ(Eval("1 + 2"), TVariant(3));
  EXPECT_EQ(Eval("1 = '1'"), TVariant(true));
  EXPECT_EQ(Eval("1.0 = 1"), TVariant(true));
  EXPECT_EQ(Eval("true = 'T'"), TVariant(true));
  EXPECT_EQ(Eval("true = 0"), TVariant(false));
  EXPECT_EQ(Eval("'abc' = 'ABC'"), TVariant(false));
  EXPECT_EQ(Eval("'10' < 9"), TVariant(false));
  EXPECT_EQ(Eval("'b' >= 'a'"), TVariant(true));
  EXPECT_EQ(Eval("name like 'A_a'"), TVariant(true));
  EXPECT_EQ(Eval("name like '%n%'"), TVariant(true));
  EXPECT_EQ(Eval("name like 'a%'"), TVariant(false));
}

TEST(ExprParser, NullsPropagateThroughEveryOperatorKind) {
  EXPECT_EQ(Eval("5 / 0"), TVariant::Null());
  EXPECT_EQ(Eval("null > 1", true), TVariant(false));
  EXPECT_EQ(Eval("null like '%'", true), TVariant(false));
  EXPECT_EQ(Eval("null in [1]", true), TVariant(false));
  for (const char* text : {"null + 1", "1 - null", "null * 2", "2 / null", "null \\ 2",
                           "null or true", "x + (null)"}) {
    EXPECT_EQ(Eval(text, true), TVariant::Null()) << text;
  }
  for (const char* text : {"null < 1", "1 >= null", "null <= 1", "'a' like null"}) {
    EXPECT_EQ(Eval(text, true), TVariant(false)) << text;
  }
  EXPECT_EQ(Eval("null || 'a'", true), TVariant::Null());
  EXPECT_EQ(Eval("NULL and true", true), TVariant::Null());
  EXPECT_EQ(Eval("null = null", true), TVariant(true));
  EXPECT_EQ(Eval("null <> 1", true), TVariant(true));
  EXPECT_EQ(Eval("not null", true), TVariant::Null());
  // Without propagation a null joins a text as "" and the Variant rules apply.
  EXPECT_EQ(Eval("null + 'a'"), TVariant("a"));
  EXPECT_EQ(Eval("null + 1"), TVariant::Null());
}

TEST(ExprParser, SetsCompareByText) {
  EXPECT_EQ(Eval("code in [1, 2, 3]"), TVariant(true));
  EXPECT_EQ(Eval("code in ['1', '3']"), TVariant(false));
  EXPECT_EQ(Eval("[1, 2] in [3, 2, 1]"), TVariant(true));
  EXPECT_EQ(Eval("[1, 4] in [3, 2, 1]"), TVariant(false));
  EXPECT_EQ(Eval("[] in [1]"), TVariant(false));
  const TVariant set = Eval("[a, 'b c', 3.5]");
  const TRef<ISet> items = SetOf(set);
  ASSERT_TRUE(items);
  ASSERT_EQ(items->Count(), 3);
  EXPECT_EQ(items->Item(1), TVariant("b c"));
  EXPECT_EQ(EvalError("1 in 2"), "O operador in espera um conjunto");
}

TEST(ExprParser, FunctionsAndTheirArguments) {
  TExprParser parser;
  std::string seen;
  parser.OnFunction = [&](TExprParser&, TExprFunc& node, TVariant& result) {
    seen = node.Name() + "/" + std::to_string(node.ArgumentCount()) + "/" + node.GetText();
    result = node.ArgumentCount() > 0 ? node.EvaluateArgument(0) : TVariant();
  };
  parser.Parse("f(1,)");
  EXPECT_EQ(parser.Evaluate(), TVariant(1));
  EXPECT_EQ(seen, "f/2/1,");
  parser.Parse("g () + 1");
  EXPECT_EQ(parser.Evaluate(), TVariant(1));
  EXPECT_EQ(seen, "g/0/");
  parser.Parse("h(2 * 3 {six}, (4))");
  EXPECT_EQ(parser.Evaluate(), TVariant(6));
  ASSERT_EQ(parser.Root()->Items().size(), 1u);
  auto& call = static_cast<TExprFunc&>(*parser.Root()->Items()[0].Operand);
  EXPECT_EQ(call.Argument(0).Items()[1].Operand->Comments(), std::vector<std::string>{"six"});
  EXPECT_EQ(call.Argument(1).GetName(), "(4)");
}

class TTwiceModule final : public IExprFunctionModule {
 public:
  std::vector<std::string> FunctionNames() const override { return {"Twice"}; }
  void Invoke(TExprParser&, TExprFunc& call, TVariant& result) override {
    result = VarMultiply(call.EvaluateArgument(0), 2);
  }
};

TEST(ExprParser, FunctionModulesComeFirst) {
  auto module = std::make_shared<TTwiceModule>();
  TExprFunctionModuleManager::Instance().Register(module);
  EXPECT_EQ(Eval("twice(twice(x))"), TVariant(4));
  TExprFunctionModuleManager::Instance().Unregister(module.get());
  EXPECT_EQ(EvalError("twice(x)"), "Could not invoke function");
}

TEST(ExprParser, EvaluationErrors) {
  EXPECT_EQ(EvalError("zz + 1"),
            "Could not evaluate variable zz. It is not declared or avaliable.");
  EXPECT_EQ(Eval("x : y"), TVariant(1));
  EXPECT_EQ(EvalError("x : y 2"), "Não é possível avaliar a atribuição :y"_cp);
  EXPECT_NE(EvalError("1 \\ 0"), "(evaluated)");
  EXPECT_NE(EvalError("'a' * 2"), "(evaluated)");
}

TEST(ExprParser, ParseErrorsQuoteTheToken) {
  EXPECT_EQ(ParseError("f(1 2)"), "Esperado vírgula ou fim da função, mas encontrado \"2\""_cp);
  EXPECT_EQ(ParseError("(1 + 2"),
            "Esperado Fim de Bloco de Expressão mas encontrado (fim da expressão)"_cp);
  EXPECT_EQ(ParseError("a b"), "Esperado Fim da Expressão mas encontrado \"b\""_cp);
  EXPECT_EQ(ParseError("1 +"),
            "Esperado valor, variável ou função válidos, encontrado (fim da expressão)"_cp);
  EXPECT_EQ(ParseError("* 2"), "Esperado valor, variável ou função válidos, encontrado \"*\""_cp);
  EXPECT_EQ(ParseError("1 -- 2"), "Operador de expressão inválido --"_cp);
  EXPECT_EQ(ParseError("1 | 2"), "Operador de expressão inválido |"_cp);
  EXPECT_EQ(ParseError("1 => 2"), "Operador de comparação inválido =>"_cp);
  EXPECT_EQ(ParseError("1 not 2"), "Operador boleano inválido not"_cp);
  // A bad operator where an operand is due is named as such.
  EXPECT_EQ(ParseError("not not x"), "Operador boleano inválido not"_cp);
  EXPECT_EQ(ParseError("-- x"), "Operador de expressão inválido --"_cp);
  EXPECT_EQ(ParseError("<< 1"), "Operador de comparação inválido <<"_cp);
  EXPECT_EQ(ParseError("1 + >< 2"), "Operador de comparação inválido ><"_cp);
  EXPECT_EQ(ParseError("= 1"), "Esperado valor, variável ou função válidos, encontrado \"=\""_cp);
  EXPECT_EQ(ParseError("99999999999"),
            "Não é possível converter 99999999999 para o tipo especificado"_cp);
  EXPECT_EQ(ParseError("0x"), "Não é possível converter 0x para o tipo especificado"_cp);
  EXPECT_EQ(ParseError("[1 2]"), "Esperada \",\"");
  EXPECT_EQ(ParseError("[1, 2"), "Esperado fim de conjunto \"]\", mas encontrado ");
  EXPECT_EQ(ParseError("'abc"), "Esperado Fim da Expressão mas encontrado \"'abc\""_cp);
}

// A parse error says where the parser stopped: at the token it names, or at
// the operator it cannot read.
TEST(ExprParser, ParseErrorsGiveTheOffendingTokensPosition) {
  const auto positionOf = [](const std::string& text) {
    TExprParser parser;
    try {
      parser.Parse(text);
    } catch (const EExprError& e) {
      return e.Position();
    }
    return -1;
  };
  EXPECT_EQ(positionOf("f(1 2)"), 4);
  EXPECT_EQ(positionOf("(1 + 2"), 6);
  EXPECT_EQ(positionOf("a b"), 2);
  EXPECT_EQ(positionOf("1 +  "), 5);
  EXPECT_EQ(positionOf("x and * 2"), 6);
  EXPECT_EQ(positionOf("1 -- 2"), 2);
  EXPECT_EQ(positionOf("x = 1 and not not y"), 14);
  EXPECT_EQ(positionOf("1 + >< 2"), 4);
  EXPECT_EQ(positionOf("x = 0x"), 4);
  EXPECT_EQ(positionOf("x in [1 2]"), 8);
  EXPECT_EQ(positionOf("x in [1, 2"), 10);
  EXPECT_EQ(positionOf("x = 'abc"), 4);
}

TEST(ExprParser, NestingIsBounded) {
  const int depth = 100000;
  EXPECT_EQ(ParseError(std::string(depth, '(') + "1" + std::string(depth, ')')),
            "Expressão aninhada em mais de 200 níveis"_cp);
  std::string calls;
  for (int i = 0; i < depth; ++i) calls += "f(";
  EXPECT_EQ(ParseError(calls), "Expressão aninhada em mais de 200 níveis"_cp);
  // The limit counts brackets and argument lists, not the expression itself.
  const int fits = kMaxExprNesting;
  EXPECT_EQ(Eval(std::string(fits, '(') + "x" + std::string(fits, ')')), TVariant(1));
  EXPECT_EQ(ParseError(std::string(fits + 1, '(') + "x" + std::string(fits + 1, ')')),
            "Expressão aninhada em mais de 200 níveis"_cp);
  std::string nestedCalls = "x";
  for (int i = 0; i < fits; ++i) nestedCalls = "null_to_z(" + nestedCalls + ")";
  EXPECT_EQ(ParseError(nestedCalls), "(parsed)");
  EXPECT_EQ(ParseError("(" + nestedCalls + ")"), "Expressão aninhada em mais de 200 níveis"_cp);
  std::string sum = "0";
  for (int i = 0; i < depth; ++i) sum += "+1";
  EXPECT_EQ(Eval(sum), TVariant(depth));
}

}  // namespace
}  // namespace quv
