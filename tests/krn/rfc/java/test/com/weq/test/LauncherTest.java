package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * CpicDriver.nativeLaunchWeqGui from Java against the stub frontend. CTest points the registry
 * stores (XDG_CONFIG_DIRS, XDG_CONFIG_HOME) into folders of this run and names the stub in
 * TOV_WEQGUI_STUB; each test writes the stores it needs.
 */
class LauncherTest {
  static final String STUB = System.getenv("TOV_WEQGUI_STUB");
  static final String PATH_KEY = "[Software\\WEQ\\RFC\\Weqgui\\ZK5L]\n";
  static final String MODE_KEY = "[Software\\WEQ\\Weqgui]\n";
  static CpicDriver driver;
  Path records;
  final List<Long> leftRunning = new ArrayList<>();

  @BeforeAll
  static void load() {
    Lib.load();
    driver = new CpicDriver();
    assertEquals(0, driver.INIT());
  }

  static Path store(String env) {
    String dir = System.getenv(env);
    assertNotNull(dir, env);
    return Paths.get(dir.split(":")[0], "tovnative", "registry");
  }

  static void write(Path file, String text) throws IOException {
    Files.createDirectories(file.getParent());
    Files.write(file, text.getBytes(StandardCharsets.UTF_8));
  }

  @BeforeEach
  void stores() throws IOException {
    records = Files.createTempDirectory("weqgui");
    write(store("XDG_CONFIG_DIRS"), PATH_KEY + "Path = sz:" + STUB + "\n");
    write(store("XDG_CONFIG_HOME"), "");
    Probe.setGuiWaitMs(20000);
  }

  @AfterEach
  void cleanUp() throws IOException {
    for (long pid : leftRunning) ProcessHandle.of(pid).ifPresent(ProcessHandle::destroyForcibly);
    // Nothing the launcher started is a child of this JVM.
    assertEquals(0, ProcessHandle.current().children().count());
    try (Stream<Path> s = Files.list(records)) {
      for (Path p : s.collect(Collectors.toList())) Files.delete(p);
    }
    Files.delete(records);
    Probe.setGuiWaitMs(0);
  }

  String dir() {
    return "--dir=" + records;
  }

  String[] launch(String params, String id) {
    String[] r = driver.nativeLaunchWeqGui(params, id, "unused", 0);
    assertNotNull(r);
    assertEquals(2, r.length);
    return r;
  }

  /** The pids of the stub processes that ran. */
  List<Long> runs() throws IOException {
    try (Stream<Path> s = Files.list(records)) {
      return s.map(p -> p.getFileName().toString())
          .filter(n -> n.startsWith("marker."))
          .map(n -> Long.parseLong(n.substring(7)))
          .collect(Collectors.toList());
    }
  }

  /** The arguments and descriptors one stub recorded. */
  List<String> record(long pid, String kind) throws IOException {
    byte[] raw = Files.readAllBytes(records.resolve("run." + pid));
    String rec = new String(raw, StandardCharsets.UTF_8);
    List<String> out = new ArrayList<>();
    int at = 0;
    while (at < rec.length()) {
      if (rec.startsWith("arg ", at)) {
        int sp = rec.indexOf(' ', at + 4);
        int len = Integer.parseInt(rec.substring(at + 4, sp));
        byte[] b = rec.substring(sp + 1).getBytes(StandardCharsets.UTF_8);
        String arg = new String(b, 0, len, StandardCharsets.UTF_8);
        if (kind.equals("arg")) out.add(arg);
        at = sp + 1 + arg.length() + 1;
        continue;
      }
      int nl = rec.indexOf('\n', at);
      String line = rec.substring(at, nl);
      if (kind.equals("fd") && line.startsWith("fd ")) out.add(line.substring(3));
      at = nl + 1;
    }
    return out;
  }

  static void noNames(long pid, String id) throws IOException {
    try (Stream<Path> s = Files.list(Paths.get("/dev/shm"))) {
      for (String n : s.map(p -> p.getFileName().toString()).collect(Collectors.toList())) {
        assertTrue(!n.contains(pid + "_RfcGui") && !n.contains(id + "_RfcGui"), "left: " + n);
      }
    }
  }

  /** Running, not merely unreaped (an ended stub's new parent may never reap it). */
  static boolean running(long pid) {
    try {
      String stat = new String(Files.readAllBytes(Paths.get("/proc/" + pid + "/stat")),
          StandardCharsets.US_ASCII);
      return stat.charAt(stat.lastIndexOf(')') + 2) != 'Z';
    } catch (IOException e) {
      return false;
    }
  }

  static String xs(int n) {
    return "x".repeat(n);
  }

  static List<Arguments> replies() {
    return List.of(
        Arguments.of("--reply=ok8 \"--text=host 3200\"", "host 3200", null),
        Arguments.of("--reply=ok16 --text=\u00c4\ud83d\ude00", "\u00c4\ud83d\ude00", null),
        Arguments.of("--reply=err8 \"--text=no logon\"", null, "no logon"),
        Arguments.of("--reply=err16 --text=\u00dc", null, "\u00dc"),
        Arguments.of("--reply=err8 --fill=600", null, xs(512)),
        Arguments.of("--reply=err16 --fill=600", null, xs(512)),
        Arguments.of("--reply=garbage", null, ""),
        Arguments.of("--reply=ok16 --fill=1017 --noterm", xs(1017), null));
  }

  @ParameterizedTest
  @MethodSource("replies")
  void repliesReachJava(String params, String connect, String error) throws IOException {
    String[] r = launch(dir() + " " + params, "JID1");
    assertArrayEquals(new String[] {connect, error}, r);
    List<Long> pids = runs();
    assertEquals(1, pids.size());
    // Standard input, output and error only.
    assertEquals(List.of("0", "1", "2"), record(pids.get(0), "fd"));
    noNames(pids.get(0), "JID1");
  }

  @Test
  void argumentsAreSplitByTheWindowsRules() throws IOException {
    String[] r = launch(dir() + " a\\\"b \"c d\" e\\\\\\\\\"f g\" h\\\\i \"\" \u00e9", "J I");
    assertArrayEquals(new String[] {"", null}, r);
    List<Long> pids = runs();
    assertEquals(1, pids.size());
    assertEquals(
        List.of(STUB, dir(), "a\"b", "c d", "e\\\\f g", "h\\\\i", "", "\u00e9", "/Rfc=J", "I",
            "/SplashScreenOff"),
        record(pids.get(0), "arg"));
  }

  @Test
  void withoutAPathThereIsNothingToStart() throws IOException {
    write(store("XDG_CONFIG_DIRS"), "");
    assertArrayEquals(new String[] {null, "Can't find the path to WEQGUI"}, launch(dir(), "JID2"));
    assertEquals(List.of(), runs());
  }

  @Test
  void theLogonPadAnswersAfterTheFrontendEnded() throws IOException {
    write(store("XDG_CONFIG_HOME"), MODE_KEY + "LaunchWeqlogon = dword:1\n");
    String[] r = launch(dir() + " --child --delay=400 --idnames \"--text=pad 3300\"", "JPAD");
    assertArrayEquals(new String[] {"pad 3300", null}, r);
    List<Long> pids = runs();
    assertEquals(1, pids.size());
    noNames(pids.get(0), "JPAD");
  }

  @Test
  void aFrontendThatNeverAnswersTimesOut() throws IOException {
    Probe.setGuiWaitMs(1500);
    for (String how : new String[] {"--never", "--exit"}) {
      long start = System.nanoTime();
      String[] r = launch(dir() + " " + how, "JID3");
      long tookMs = (System.nanoTime() - start) / 1_000_000;
      assertArrayEquals(new String[] {null, "Communication with WEQGUI timed out"}, r, how);
      assertTrue(tookMs >= 1400 && tookMs < 10000, how + " took " + tookMs);
    }
    List<Long> pids = runs();
    assertEquals(2, pids.size());
    long alive = pids.stream().filter(LauncherTest::running).count();
    // The stub that waits is left running.
    assertEquals(1, alive);
    leftRunning.addAll(pids);
    for (long p : pids) noNames(p, "JID3");
  }

  @Test
  void twoThreadsLaunchAtOnce() throws Exception {
    ExecutorService pool = Executors.newFixedThreadPool(2);
    List<Future<String[]>> f = new ArrayList<>();
    for (int i = 0; i < 2; i++) {
      String text = "t" + i;
      f.add(pool.submit(() -> launch(dir() + " --delay=300 --text=" + text, "JID4")));
    }
    for (int i = 0; i < 2; i++) {
      assertArrayEquals(new String[] {"t" + i, null}, f.get(i).get(30, TimeUnit.SECONDS));
    }
    pool.shutdown();
    assertEquals(2, runs().size());
    for (long p : runs()) noNames(p, "JID4");
  }

  @Test
  void aParameterTooLongForItsBufferGivesNull() {
    assertEquals(null, driver.nativeLaunchWeqGui(xs(1025), "JID5", "unused", 0));
    assertEquals(null, driver.nativeLaunchWeqGui("", xs(33), "unused", 0));
  }

  /** Run alone, with WEQGUI set by CTest. */
  @Test
  void weqguiInTheEnvironmentStartsNothing() throws IOException {
    if (System.getenv("WEQGUI") == null) return;
    assertArrayEquals(new String[] {null, "Can't start WEQGUI for Java"}, launch(dir(), "JID6"));
    assertEquals(List.of(), runs());
  }
}
