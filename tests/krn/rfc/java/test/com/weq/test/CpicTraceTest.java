package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * INIT with the CPI-C trace at level 2 from CPIC_TRACE or from the argument TRACE=, without
 * TOVNATIVE_TRACE, in a process of its own (InitMain) whose standard error is kept apart: every
 * line INIT writes is in the file CPICTRC<pid> beside the CPI-C layer's own, none on standard
 * error.
 */
class CpicTraceTest {
  static void runInit(String envLevel, String... args) throws Exception {
    Path dir = Files.createTempDirectory("cpictrc");
    List<String> cmd = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElse("java"),
        "-Xcheck:jni", "-Djava.library.path=" + System.getProperty("java.library.path"),
        "-Dtov.lib=" + System.getProperty("tov.lib", "tovnative"),
        "-cp", System.getProperty("tov.classes"), "com.weq.test.InitMain"));
    cmd.addAll(List.of(args));
    ProcessBuilder pb = new ProcessBuilder(cmd).directory(dir.toFile())
        .redirectOutput(dir.resolve("out").toFile()).redirectError(dir.resolve("err").toFile());
    pb.environment().remove("TOVNATIVE_TRACE");
    pb.environment().remove("CPIC_TRACE");
    if (envLevel != null) pb.environment().put("CPIC_TRACE", envLevel);
    pb.environment().put("CPIC_TRACE_DIR", dir.toString());
    Process p = pb.start();
    assertTrue(p.waitFor(120, TimeUnit.SECONDS), "InitMain ends within 120 s");
    String out = Files.readString(dir.resolve("out"), StandardCharsets.UTF_8);
    String err = Files.readString(dir.resolve("err"), StandardCharsets.UTF_8);
    assertEquals(0, p.exitValue(), out + err);
    assertEquals("INIT 0 0\n", out);
    String trace = Files.readString(dir.resolve("CPICTRC" + p.pid()), StandardCharsets.ISO_8859_1);
    for (String line : new String[] {"opened by", "JRFC> Initialize jrfc mutex [",
        "JRFC> INIT: initialized", "JRFC> INIT: already initialized"}) {
      assertTrue(trace.contains(line), line + " in the CPI-C trace:\n" + trace);
    }
    assertFalse(err.contains("JRFC>") || err.contains("opened by"), "standard error:\n" + err);
  }

  @Test
  void levelFromTheEnvironment() throws Exception {
    runInit("2");
  }

  @Test
  void levelFromTheArguments() throws Exception {
    runInit(null, "TRACE=2");
  }
}
