#pragma once

// The leaves of a graph: constants, parameters and placeholders.

#include <initializer_list>
#include <string>

#include "symbolic/value.hpp"

namespace zarnik::symbolic {

Value constant(SmallValue value);
Value constant(std::initializer_list<double> lanes);
Value constant(double x);
Value constant(double x, double y);
Value constant(double x, double y, double z);
Value constant(double x, double y, double z, double w);
Value constant(const Vec<double, 1>& v);
Value constant(const Vec<double, 2>& v);
Value constant(const Vec<double, 3>& v);
Value constant(const Vec<double, 4>& v);

Value parameter(SmallValue value, std::string name);
Value parameter(std::initializer_list<double> lanes, std::string name);
Value parameter(double x, std::string name);
Value parameter(double x, double y, std::string name);
Value parameter(double x, double y, double z, std::string name);
Value parameter(double x, double y, double z, double w, std::string name);
Value parameter(const Vec<double, 1>& v, std::string name);
Value parameter(const Vec<double, 2>& v, std::string name);
Value parameter(const Vec<double, 3>& v, std::string name);
Value parameter(const Vec<double, 4>& v, std::string name);

Value undefined(int dimension, std::string name);

Value undefined_with_hint(SmallValue hint, std::string name);
Value undefined_with_hint(std::initializer_list<double> hint, std::string name);
Value undefined_with_hint(double x, std::string name);
Value undefined_with_hint(double x, double y, std::string name);
Value undefined_with_hint(double x, double y, double z, std::string name);
Value undefined_with_hint(double x, double y, double z, double w, std::string name);
Value undefined_with_hint(const Vec<double, 1>& v, std::string name);
Value undefined_with_hint(const Vec<double, 2>& v, std::string name);
Value undefined_with_hint(const Vec<double, 3>& v, std::string name);
Value undefined_with_hint(const Vec<double, 4>& v, std::string name);

}  // namespace zarnik::symbolic
