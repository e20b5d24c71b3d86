package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import org.junit.jupiter.api.Test;

/**
 * The library's start in a fresh JVM, one case per run: CTest sets TOVNATIVE_TRACE and
 * TOVNATIVE_TRACE_DIR for each and runs it in an empty working directory.
 */
class StartupTest {
  static String traceName() {
    return String.format("TOVNATIVE_%06d.TRC", ProcessHandle.current().pid());
  }

  static Path cwdTrace() {
    return Paths.get(traceName()).toAbsolutePath();
  }

  @Test
  void traceUnset() {
    assertNull(System.getenv("TOVNATIVE_TRACE"));
    Lib.load();
    assertEquals(0, new CpicDriver().INIT());
    assertFalse(Files.exists(cwdTrace()));
  }

  @Test
  void traceNegative() {
    assertEquals("-1", System.getenv("TOVNATIVE_TRACE"));
    Lib.load();
    assertEquals(0, new CpicDriver().INIT());
    assertFalse(Files.exists(cwdTrace()));
  }

  @Test
  void traceNotANumber() throws Exception {
    assertEquals("x", System.getenv("TOVNATIVE_TRACE"));
    Lib.load();
    assertEquals(0, new CpicDriver().INIT());
    assertTrue(Files.exists(cwdTrace()), cwdTrace().toString());
    // Level 0: the file is there, INIT writes nothing into it.
    assertFalse(new String(Files.readAllBytes(cwdTrace()), StandardCharsets.UTF_8).contains("JRFC>"));
  }

  @Test
  void traceLevelTwoInADirectory() throws Exception {
    assertEquals("2", System.getenv("TOVNATIVE_TRACE"));
    Path dir = Paths.get(System.getenv("TOVNATIVE_TRACE_DIR"));
    Path file = dir.resolve(traceName());
    // Opened for writing: what an earlier process of the same id left is gone.
    Files.write(file, "LEFT BY AN EARLIER PROCESS\n".getBytes(StandardCharsets.UTF_8));
    Lib.load();
    assertTrue(Files.exists(file), file.toString());
    assertEquals(0, new CpicDriver().INIT());
    String text = new String(Files.readAllBytes(file), StandardCharsets.UTF_8);
    assertTrue(text.contains("JRFC> Initialize rscp part"), text);
    assertTrue(text.contains("JRFC> INIT: initialized"), text);
    assertFalse(text.contains("LEFT BY AN EARLIER PROCESS"), text);
    assertFalse(Files.exists(cwdTrace()));
    Files.delete(file);
  }

  @Test
  void initTwice() {
    Lib.load();
    CpicDriver d = new CpicDriver();
    assertEquals(0, d.INIT());
    assertEquals(0, d.INIT());
    assertEquals(0, new CpicDriver().INIT());
  }
}
