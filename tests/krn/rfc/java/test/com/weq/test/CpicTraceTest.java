package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * INIT with the CPI-C trace asked for by CPIC_TRACE or by the argument TRACE=, without
 * TOVNATIVE_TRACE: INIT runs in a process of its own whose standard error is kept apart, and
 * every line it writes at level 2 is in the file CPICTRC<pid>, none on standard error.
 */
class CpicTraceTest {
  static final String[] INIT_LINES = {
    "JRFC> Initialize jrfc mutex [", "JRFC> INIT: initialized", "JRFC> INIT: already initialized"
  };

  /** Runs InitMain with the given environment and program arguments in dir. */
  static String[] runInit(Path dir, Map<String, String> env, String... args) throws Exception {
    String java = ProcessHandle.current().info().command().orElse("java");
    List<String> cmd = new ArrayList<>(List.of(java, "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"),
        "-Dtov.lib=" + System.getProperty("tov.lib", "tovnative"),
        "-cp", System.getProperty("tov.classes"), "com.weq.test.InitMain"));
    cmd.addAll(List.of(args));
    ProcessBuilder pb = new ProcessBuilder(cmd).directory(dir.toFile());
    pb.environment().remove("TOVNATIVE_TRACE");
    pb.environment().remove("CPIC_TRACE");
    pb.environment().put("CPIC_TRACE_DIR", dir.toString());
    pb.environment().putAll(env);
    File out = dir.resolve("stdout.txt").toFile();
    File err = dir.resolve("stderr.txt").toFile();
    Process p = pb.redirectOutput(out).redirectError(err).start();
    assertTrue(p.waitFor(120, TimeUnit.SECONDS), "InitMain ends within 120 s");
    String stdout = Files.readString(out.toPath(), StandardCharsets.UTF_8);
    String stderr = Files.readString(err.toPath(), StandardCharsets.UTF_8);
    assertEquals(0, p.exitValue(), stdout + stderr);
    Path trace = dir.resolve("CPICTRC" + p.pid());
    assertTrue(Files.exists(trace), trace.toString());
    return new String[] {stdout, stderr, Files.readString(trace, StandardCharsets.ISO_8859_1)};
  }

  static void check(String[] run) {
    assertEquals("INIT 0 0\n", run[0]);
    for (String line : INIT_LINES) {
      assertTrue(run[2].contains(line), line + " in the CPI-C trace:\n" + run[2]);
    }
    // The CPI-C layer's own lines share the file.
    assertTrue(run[2].contains("opened by"), run[2]);
    assertFalse(run[1].contains("JRFC>"), "standard error:\n" + run[1]);
    assertFalse(run[1].contains("opened by"), "standard error:\n" + run[1]);
  }

  @Test
  void levelFromTheEnvironment() throws Exception {
    Path dir = Files.createTempDirectory("cpictrc");
    check(runInit(dir, Map.of("CPIC_TRACE", "2")));
  }

  @Test
  void levelFromTheArguments() throws Exception {
    Path dir = Files.createTempDirectory("cpictrc");
    check(runInit(dir, Map.of(), "TRACE=2"));
  }
}
