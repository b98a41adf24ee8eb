// Anchors the test-support library so it always has one object.
namespace orv_test_support_anchor {}
