// Anchor so the library exists before its first real source.
namespace dtl { void browserLibraryAnchor() {} }
