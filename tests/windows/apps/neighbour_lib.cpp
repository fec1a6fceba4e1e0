// A library that needs_neighbour_app imports; the tests place it next to the
// launcher, or pack it beside the application.
extern "C" __declspec(dllexport) int neighbour_value() { return 42; }
