// Path: a value that follows a natural cubic spline through control values
// written in the script, open (from the first value to the last) or closed
// (looping through them).
#include "plugins/plugins.h"

#include <cmath>
#include <cstdio>
#include <cstring>

const ParamInfo kPathParams[] = {
    {" num=", ParamKind::Number, "0", "number of control values, at least 3"},
    {" type=", ParamKind::Value, "0", "0 open: from the first value to the last; 1 closed: loops (read once)"},
    {" y=", ParamKind::Text, "required",
     "the control values, comma separated, to the end of the declaration; keys after it take places too"},
    {" time=", ParamKind::Value, "0", "position on the path: 0 the first value, 1 the second..."},
    {" org=", ParamKind::Value, "0", "added to the result"},
    {" scale=", ParamKind::Value, "1", "the spline's value is multiplied by this"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

enum PathType { kOpen = 0, kClosed = 1 };

// A closed path of num values is built over num + 5 knots: two before the
// first value and three after the last repeat the values across the seam, so
// that the curve leaves the last value the way it enters the first.
constexpr int kClosedExtra = 5;
constexpr int kClosedLead = 2;

// Far more than a 255-character line can write; beyond it num= is a mistake
// whose arrays would not fit.
constexpr int kMaxControlValues = 1 << 20;

constexpr float kSixth = 0.16666667f;

// Reads the control values into y (all zero first).  Every blank-separated
// item of the text counts as one, numbers or not, and they wrap around y: a
// key written after y= takes a place without storing anything, and an empty
// item between two blanks reads the number after it.
size_t readControls(const char* text, std::vector<float>& y, size_t first) {
  const size_t n = y.size();
  size_t k = first;
  for (const char* at = text; *at; ++k) {
    float v;
    if (std::sscanf(at, "%f", &v) == 1) y[k % n] = v;
    const char* blank = std::strchr(at, ' ');
    if (!blank) return k + 1;
    at = blank + 1;
  }
  return k;
}

// Natural cubic spline through y at knots 0..n-1: second derivatives m with
// m[0] = m[n-1] = 0 and 0.5 m[i-1] + 2 m[i] + 0.5 m[i+1] = 3 (y[i+1] - 2 y[i]
// + y[i-1]).  The system is diagonally dominant, so elimination needs no
// pivoting and never divides by zero.  False when a coefficient is not a
// finite number (values like 1e38 or nan in the script).
bool fitSpline(const std::vector<float>& y, Spline& spline) {
  const int n = int(y.size());
  std::vector<float> diag(size_t(n), 2.0f), rhs(size_t(n), 0.0f), m(size_t(n), 0.0f);
  for (int i = 1; i < n - 1; ++i) rhs[size_t(i)] = 3.0f * (y[size_t(i + 1)] - 2.0f * y[size_t(i)] + y[size_t(i - 1)]);
  for (int i = 2; i < n - 1; ++i) {
    const float f = 0.5f / diag[size_t(i - 1)];
    diag[size_t(i)] -= f * 0.5f;
    rhs[size_t(i)] -= f * rhs[size_t(i - 1)];
  }
  for (int i = n - 2; i >= 1; --i) m[size_t(i)] = (rhs[size_t(i)] - 0.5f * m[size_t(i + 1)]) / diag[size_t(i)];

  const int segments = n - 1;
  spline.segments = segments;
  spline.a.assign(size_t(n), 0.0f);
  spline.b.assign(size_t(n), 0.0f);
  spline.c.assign(size_t(n), 0.0f);
  spline.d.assign(size_t(n), 0.0f);
  bool finite = true;
  for (int i = 0; i < segments; ++i) {
    const size_t s = size_t(i);
    spline.a[s] = y[s];
    spline.b[s] = (y[s + 1] - y[s]) - (2.0f * m[s] + m[s + 1]) * kSixth;
    spline.c[s] = m[s] * 0.5f;
    spline.d[s] = (m[s + 1] - m[s]) * kSixth;
    finite = finite && std::isfinite(spline.a[s]) && std::isfinite(spline.b[s]) && std::isfinite(spline.c[s]) &&
             std::isfinite(spline.d[s]);
  }
  spline.a[size_t(segments)] = y[size_t(segments)];
  return finite;
}

bool buildSpline(const char* text, int num, int type, Spline& spline) {
  if (num > kMaxControlValues) return false;
  const int n = type == kClosed ? num + kClosedExtra : num;
  std::vector<float> y(size_t(n), 0.0f);
  const size_t k = readControls(text, y, type == kClosed ? kClosedLead : 0);
  if (type == kClosed) {
    // Close the loop: the lead knots take the last two items read, the three
    // knots after them the first three values.
    const size_t un = size_t(n);
    y[0] = y[(k - 2) % un];
    y[1] = y[(k - 1) % un];
    y[k % un] = y[2];
    y[(k + 1) % un] = y[3];
    y[(k + 2) % un] = y[4];
  }
  return fitSpline(y, spline);
}

float evaluate(const Spline& spline, int type, float v) {
  const int segments = spline.segments;
  int i;
  float u;
  if (type == kOpen) {
    if (!(v < float(segments))) {  // past the last value, and NaN: the end
      i = segments - 1;
      u = 1;
    } else if (v >= 0) {
      i = int(v);
      u = v - float(i);
    } else {
      i = 0;
      u = 0;
    }
  } else {
    // The loop's num values sit at knots 1..num; going backwards runs the
    // segments from the end.  The remainder is taken in double so that any
    // float time, however large, wraps without an integer overflow; a time
    // that is no finite number starts the loop.
    if (!std::isfinite(v)) v = 0;
    const int period = segments - (kClosedExtra - 1);
    const float whole = std::trunc(v);
    u = std::fabs(v) - std::fabs(whole);
    const int r = int(std::fmod(double(std::fabs(whole)), double(period)));
    if (v >= 0) {
      i = r + 1;
    } else {
      i = segments - r - (kClosedExtra - 1);
      u = 1 - u;
    }
  }
  const size_t s = size_t(i);
  return spline.a[s] + spline.b[s] * u + spline.c[s] * u * u + spline.d[s] * u * u * u;
}

}  // namespace

Path::Path(Declaration* decl, PlugIn* nextObject) : Value(decl, nextObject) {
  ParamReader read(decl, kPathParams);
  num = plg_Trunc(read.number());
  // Read once: the spline's shape depends on it.
  type = plg_Trunc(read.value()->value());
  if (unsigned(type) > kClosed) reportPluginError(this, "unknown spline type");
  if (num < 3) reportPluginError(this, "minimum for num= of control points is 3");
  const char* text = read.text();
  if (!buildSpline(text, num, type, spline)) reportPluginError(this, "incorrect spline");
  time = read.value();
  org = read.value();
  scale = read.value();
}

float Path::onValue() {
  const float v = time->value();
  const float s = evaluate(spline, type, v);
  const float k = scale->value();
  const float o = org->value();
  return o + s * k;
}
