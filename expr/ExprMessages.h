#pragma once

#include <string_view>

#include "platform/Cp1252.h"

// The fixed messages of the expression parser and evaluator, as Windows-1252
// bytes. A quoted token follows the texts that end in "encontrado ".
namespace quv::exprmsg {

inline constexpr std::string_view kExpected = "Esperado "_cp;
inline constexpr std::string_view kOr = " ou "_cp;
inline constexpr std::string_view kButFound = " mas encontrado "_cp;
inline constexpr std::string_view kEndOfExpression = "(fim da expressão)"_cp;
inline constexpr std::string_view kExpectedOperand =
    "Esperado valor, variável ou função válidos, encontrado "_cp;
inline constexpr std::string_view kBadExpressionOperator = "Operador de expressão inválido "_cp;
inline constexpr std::string_view kBadBooleanOperator = "Operador boleano inválido "_cp;
inline constexpr std::string_view kBadComparisonOperator = "Operador de comparação inválido "_cp;
inline constexpr std::string_view kExpectedFunctionName =
    "Esperado nome da função, mas encontrado "_cp;
inline constexpr std::string_view kExpectedCommaOrEnd =
    "Esperado vírgula ou fim da função, mas encontrado "_cp;
inline constexpr std::string_view kExpectedArguments =
    "Esperado inicio dos parâmetros da função, mas encontrado "_cp;
inline constexpr std::string_view kExpectedValue = "Esperado Valor"_cp;
inline constexpr std::string_view kCannotConvert = "Não é possível converter "_cp;
inline constexpr std::string_view kToTheType = " para o tipo especificado"_cp;
inline constexpr std::string_view kExpectedSetComma = "Esperada \",\""_cp;
inline constexpr std::string_view kExpectedSetEnd =
    "Esperado fim de conjunto \"]\", mas encontrado "_cp;
inline constexpr std::string_view kUnknownVariable = "Could not evaluate variable "_cp;
inline constexpr std::string_view kUnknownVariableEnd = ". It is not declared or avaliable."_cp;
inline constexpr std::string_view kCannotInvoke = "Could not invoke function"_cp;

// Messages of this implementation for cases the fixed texts above do not cover.
inline constexpr std::string_view kTooDeep = "Expressão aninhada em mais de 200 níveis"_cp;
inline constexpr std::string_view kInNeedsSet = "O operador in espera um conjunto"_cp;
inline constexpr std::string_view kAssignmentNotEvaluated =
    "Não é possível avaliar a atribuição "_cp;

}  // namespace quv::exprmsg
