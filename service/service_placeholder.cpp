// Placeholder so that the library target exists before its first unit lands.
namespace pelmora {}
