// Exported by every stand-in plugin beside its registration function, which the real plugin has as
// well: what the release's packing tells a stand-in by (scripts/release/pack.py), so that none
// can reach a user's archive.
extern "C" int StandinPluginMark() {
  return 1;
}
